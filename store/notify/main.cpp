// nelt-notify: started with the desktop session; tells the user when
// applications installed from the store have updates, and opens the store's
// updates page when the notification is clicked.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <cstdio>
#include <cstdlib>

#include "notifier.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("nelt-notify"));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Shows a desktop notification when applications installed from NeltStore have updates.");
  parser.addHelpOption();
  const QCommandLineOption interval_option(
      QStringLiteral("interval"),
      "Time between checks: seconds, or a number followed by s, m or h (default 6h; "
      "NELT_NOTIFY_INTERVAL when the option is not given).",
      QStringLiteral("DURATION"));
  parser.addOption(interval_option);
  parser.process(app);
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "nelt-notify: takes no arguments (see --help)\n");
    return 2;
  }

  nelt::notify::NotifierOptions options;
  std::string interval_text;
  if (parser.isSet(interval_option))
    interval_text = parser.value(interval_option).toStdString();
  else if (const char* env = std::getenv("NELT_NOTIFY_INTERVAL"); env != nullptr && *env != '\0')
    interval_text = env;
  if (!interval_text.empty()) {
    std::chrono::seconds interval{0};
    if (!nelt::notify::parseInterval(interval_text, interval)) {
      std::fprintf(stderr, "nelt-notify: bad interval '%s' (1s to 7 days, e.g. 90m or 6h)\n",
                   interval_text.c_str());
      return 2;
    }
    options.interval = interval;
  }
  if (const char* store = std::getenv("NELT_NOTIFY_STORE"); store != nullptr && *store != '\0')
    options.store_program = QString::fromLocal8Bit(store);

  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "nelt-notify: no session bus: %s\n",
                 bus.lastError().message().toLocal8Bit().constData());
    return 1;
  }
  // One watcher per session: a second start (autostart and a manual start)
  // leaves the first one alone.
  if (!bus.registerService(QStringLiteral("vn.nelt.Notify"))) {
    std::fprintf(stderr, "nelt-notify: already running in this session\n");
    return 0;
  }
  nelt::notify::UpdateNotifier notifier(options);
  if (!notifier.start()) return 1;
  return QCoreApplication::exec();
}
