#include "store_app.h"

#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QScreen>
#include <QTranslator>

#include "icon_path.h"
#include "qt_texts_vi.h"

bool loadQtTranslations() {
  static bool done = false;
  static bool loaded = false;
  if (done || QCoreApplication::instance() == nullptr) return loaded;
  done = true;
  const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
  // "qt_vi" pulls in qtbase_vi and the other modules' texts where present.
  for (const char* name : {"qt_vi", "qtbase_vi"}) {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QString::fromLatin1(name), folder) &&
        QCoreApplication::installTranslator(translator)) {
      loaded = true;
      break;
    }
    delete translator;
  }
  // The window's own table for the texts it shows, asked first.
  auto* own = new QtTextsVi(QCoreApplication::instance());
  QCoreApplication::installTranslator(own);
  return loaded;
}

void quietNetworkPolling() {
  if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
    qputenv("QT_BEARER_POLL_TIMEOUT", QByteArrayLiteral("-1"));
}

std::unique_ptr<StoreWindow> startStore(const QStringList& arguments,
                                        const nelt::StartupOptions& options) {
  // Before the start-up question: its Yes and No are Qt's own buttons.
  loadQtTranslations();
  std::unique_ptr<KavixAPI> api = nelt::connectToService(options);
  if (!api) return nullptr;
  const std::string word = nelt::applicationWord(arguments);
  if (nelt::claimStoreWindow(*api, word) == nelt::WindowRole::Forwarded) return nullptr;

  auto store = std::make_unique<StoreWindow>();
  store->api = std::move(api);
  store->window = std::make_unique<MainWindow>();
  store->controller = std::make_unique<MainController>();
  store->window->setWindowTitle(QStringLiteral("NELT Store"));
  store->window->setWindowIcon(QIcon(iconPath(QStringLiteral("./icon/icon-nelt-store.png"))));
  // A laptop screen smaller than the window: it fits and scrolls.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect available = screen->availableGeometry();
    // The frame the window manager adds around the window.
    available.adjust(
        0, 0, 0,
        -qMax(0, store->window->frameGeometry().height() - store->window->geometry().height()));
    store->window->fitScreen(available);
  }
  store->controller->setOBJECT(store->window.get(), store->api.get());
  store->controller->control();
  if (word == nelt::OPEN_WINDOW_UPDATES)
    store->controller->showUpdates();
  else if (!word.empty())
    store->controller->openapp(word);
  store->window->show();
  return store;
}
