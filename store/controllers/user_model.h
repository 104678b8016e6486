// The signed-in store account as the window knows it, and the account
// requests to the service.
#pragma once

#include <string>

class KavixAPI;

class UserModel {
 public:
  UserModel();

  // Reads the account the service holds. 0 when one is signed in (and
  // stored here), -1 otherwise.
  int checkLogin();
  // Signs in. `avatar` receives the account's picture reference (empty when
  // it has none). 0 on success, -1 on any failure.
  int login(std::string acc, std::string pass, std::string& avatar);
  // Signs out; fails without sending anything when nobody is signed in.
  int logout();
  bool getPayment() const { return isPayment; }
  std::string getNameAcc() const { return name_acc; }
  // Stores both only when `id` is not -1 and `name` is given.
  void setAcc(int id, const char* name);

  KavixAPI* api = nullptr;
  std::string name_acc;
  int id_acc = -1;
  bool isPayment = false;
};
