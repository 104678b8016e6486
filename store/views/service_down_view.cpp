#include "service_down_view.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "keyboard.h"

ServiceDownView::ServiceDownView(QWidget* covered) : QFrame(covered) {
  setObjectName("frameServiceDown");
  setStyleSheet("QFrame#frameServiceDown { background-color: #ffffff; }");
  setAutoFillBackground(true);

  label_title = new QLabel(QString::fromUtf8("Dịch vụ NeltStore không chạy."), this);
  label_title->setObjectName("label_service_down");
  label_title->setTextFormat(Qt::PlainText);
  label_title->setAlignment(Qt::AlignCenter);
  label_title->setStyleSheet("color: #cf1322; font-size: 16pt; font-weight: bold;");

  label_detail = new QLabel(QString::fromUtf8("Cửa sổ sẽ tự kết nối lại khi dịch vụ chạy trở lại. "
                                              "Bạn cũng có thể bấm \"Thử lại\"."),
                            this);
  label_detail->setObjectName("label_service_down_detail");
  label_detail->setTextFormat(Qt::PlainText);
  label_detail->setWordWrap(true);
  label_detail->setAlignment(Qt::AlignCenter);
  label_detail->setStyleSheet("color: #404040; font-size: 11pt;");

  button_retry = new QPushButton(QString::fromUtf8("Thử lại"), this);
  button_retry->setObjectName("buttonRetryService");
  button_retry->setFixedSize(160, 40);
  button_retry->setStyleSheet(
      "QPushButton { background-color: #52C41A; color: #ffffff; border-radius: 5px; "
      "font-weight: bold; }");
  clickOnEnter(button_retry);

  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  layout->addWidget(label_title);
  layout->addSpacing(12);
  layout->addWidget(label_detail);
  layout->addSpacing(24);
  layout->addWidget(button_retry, 0, Qt::AlignHCenter);
  layout->addStretch(2);

  setGeometry(covered->rect());
  covered->installEventFilter(this);
  hide();
}

bool ServiceDownView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && event->type() == QEvent::Resize) {
    setGeometry(parentWidget()->rect());
    raise();
  }
  return false;
}
