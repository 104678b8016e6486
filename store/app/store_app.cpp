#include "store_app.h"

#include <QIcon>

#include "icon_path.h"

std::unique_ptr<StoreWindow> startStore(const QStringList& arguments,
                                        const nelt::StartupOptions& options) {
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
  store->controller->setOBJECT(store->window.get(), store->api.get());
  store->controller->control();
  if (word == nelt::OPEN_WINDOW_UPDATES)
    store->controller->showUpdates();
  else if (!word.empty())
    store->controller->openapp(word);
  store->window->show();
  return store;
}
