// The detail page of one application: filling it from the service's detail
// reply (name, versions, description, rating, icon, screenshots), sizing
// its texts, and the states of its action buttons and state label.
#pragma once

#include <rapidjson/fwd.h>

#include <QString>
#include <functional>
#include <string>

class QObject;
class ServiceClient;
class TLabel;
class Ui_AppDetailView;
class Ui_MainWindow;

// State of an application as the detail page sees it.
enum TYPE_APP {
  TYPE_NULL = 1,
  TYPE_DEFAULT = 2,    // not installed: Install
  TYPE_INSTALLED = 3,  // installed: Launch, Remove
  TYPE_UPDATE = 4,     // installed, newer version: Launch, Remove, Update
  TYPE_WAITINSTALL = 5,
  TYPE_INSTALLING = 6,  // its install runs: progress
  TYPE_UNKNOW = 7       // to be worked out from the installed and updates pages
};

class DetailPage {
 public:
  DetailPage();
  ~DetailPage();
  DetailPage(const DetailPage&) = delete;
  DetailPage& operator=(const DetailPage&) = delete;

  // `menu_style` is the look of the menu buttons while the page shows.
  void setObjects(Ui_MainWindow* ui, const QString* menu_style);
  // Places the new-version label and notes the page's laid-out height; once.
  void setup();

  // Shows and enables the buttons that fit `type` (not the progress of an
  // install, which the install flow paints).
  void applyPreset(TYPE_APP type);
  // Empties the page and shows it.
  void clear();
  // Fills the page from the detail of `name`. `missing` runs when the
  // service has no such application; `size` receives its size. RUN_AGAIN
  // when the store revoked the token.
  int fill(ServiceClient* api, const std::string& name, TYPE_APP type,
           const std::string& version_current, const std::string& version_new, double& size,
           const std::function<void()>& missing);
  // Marks the thumbnail pressed last and shows its screenshot large.
  void showPressedScreenshot();

  // Enables or disables a detail button by its object name and prints the
  // trace line ("<line> ENABLE: <name>" or "<line> DISABLE: <name>").
  void enableButton(int line, const char* name, bool on);
  // Notes the buttons' states before a remove or launch, and restores them.
  void saveButtonStates();
  void restoreButtonStates();
  bool updateWasEnabled() const { return is_enbUpdate; }
  // Shows `text` in the state label now.
  void stateLabel(const QString& text, const QString& color);
  // A result: painted on the next turn of the event loop, hidden two
  // seconds later unless a newer text has taken the label meanwhile.
  void resultLabel(const QString& text, const QString& color);

  // The reason of a failure in its own line under the action buttons; it
  // stays until the person's next action on the page.
  void reasonLine(const QString& text);
  void clearReason();

  static int estimateLines(const QString& text, int width);
  // Gives every menu button `style`.
  void setMenuStyle(const QString& style);

  // "Có phiên bản mới" under the name; goes with the window when the page
  // took it.
  TLabel* lb_newversion;

 private:
  void showScreenshots(const rapidjson::Value& shots);
  // Size, developer, licence, last update and the number of ratings, where
  // the record has them.
  void showFacts(const rapidjson::Value& doc);
  void showVersions(const rapidjson::Value& doc, TYPE_APP type, const std::string& version_current,
                    const std::string& version_new);
  void calculateSizeDesc(const QString& text);
  void calculateSizeName(const QString& text);

  Ui_MainWindow* ui = nullptr;
  Ui_AppDetailView* ui_detail = nullptr;
  const QString* menu_style = nullptr;
  QObject* guard;  // receives the thumbnails' presses while the page lives
  int size_frame_detail = 0;
  bool is_enbInstall = false;
  bool is_enbLaunch = false;
  bool is_enbRemove = false;
  bool is_enbUpdate = false;
  // Counts the texts put in the state label.
  int state_label_shown = 0;
};
