// NeltStore: the store window. One optional argument names an application to
// open ("hello", "hello?ref=mail" or the link "neltstore://hello"); when a
// store window already runs, it is brought forward with that request instead.
// "--updates" opens the updates page.
#include <QApplication>

#include "store_app.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("NeltStore"));
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  std::unique_ptr<StoreWindow> store = startStore(arguments);
  if (!store) return 0;
  QApplication::exec();
  return 0;
}
