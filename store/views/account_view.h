// Account page: the sign-in form and, while signed in, the account panel.
#pragma once

#include <QWidget>

class Ui_AccountView;

class AccountView : public QWidget {
  Q_OBJECT
 public:
  explicit AccountView(QWidget* parent = nullptr);
  ~AccountView() override;

  // Sets the registration and password links from the store address.
  void setLinks();

  Ui_AccountView* ui;
  // The user was sent here to sign in while starting an install.
  bool flag_installing = false;
  int flag_login_section_end = -1;
};
