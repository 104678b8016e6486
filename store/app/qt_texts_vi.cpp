#include "qt_texts_vi.h"

#include <cstring>

namespace {

struct Text {
  const char* context;
  const char* source;
  const char* vi;
};

// The contexts and source texts as Qt 5 asks for them.
const Text TEXTS[] = {
    {"QPlatformTheme", "&Yes", "&Có"},
    {"QPlatformTheme", "&No", "&Không"},
    {"QPlatformTheme", "OK", "Đồng ý"},
    {"QPlatformTheme", "Cancel", "Huỷ"},
    {"QPlatformTheme", "Close", "Đóng"},
    {"QPlatformTheme", "Apply", "Áp dụng"},
    {"QPlatformTheme", "Retry", "Thử lại"},
    {"QPlatformTheme", "Ignore", "Bỏ qua"},
    {"QPlatformTheme", "Abort", "Dừng"},
    {"QPlatformTheme", "Help", "Trợ giúp"},
    {"QPlatformTheme", "Save", "Lưu"},
    {"QPlatformTheme", "Open", "Mở"},
    {"QPlatformTheme", "Discard", "Bỏ"},
    {"QPlatformTheme", "Reset", "Đặt lại"},
    {"QPlatformTheme", "Yes to &All", "Có với &tất cả"},
    {"QPlatformTheme", "N&o to All", "Không với tất &cả"},
    {"QMessageBox", "Show Details...", "Xem chi tiết..."},
    {"QMessageBox", "Hide Details...", "Ẩn chi tiết..."},
    {"QLineEdit", "&Undo", "&Hoàn tác"},
    {"QLineEdit", "&Redo", "&Làm lại"},
    {"QLineEdit", "Cu&t", "&Cắt"},
    {"QLineEdit", "&Copy", "&Sao chép"},
    {"QLineEdit", "&Paste", "&Dán"},
    {"QLineEdit", "Delete", "Xoá"},
    {"QLineEdit", "Select All", "Chọn tất cả"},
    {"QWidgetTextControl", "&Copy", "&Sao chép"},
    {"QWidgetTextControl", "Copy &Link Location", "Sao chép địa chỉ &liên kết"},
    {"QWidgetTextControl", "Select All", "Chọn tất cả"},
};

}  // namespace

QString QtTextsVi::translate(const char* context, const char* source, const char*, int) const {
  if (context == nullptr || source == nullptr) return QString();
  for (const Text& t : TEXTS) {
    if (std::strcmp(t.context, context) == 0 && std::strcmp(t.source, source) == 0)
      return QString::fromUtf8(t.vi);
  }
  return QString();
}
