#include "failure_text.h"

#include <cstring>

const char* const TEXT_STORE_UNREACHABLE =
    "Không kết nối được với cửa hàng. Vui lòng kiểm tra mạng và thử lại.";
const char* const TEXT_SERVICE_DOWN = "Dịch vụ NeltStore không chạy.";
const char* const TEXT_SIGN_IN_TO_INSTALL = "Vui lòng đăng nhập để cài đặt ứng dụng.";
const char* const TEXT_ALL_UP_TO_DATE = "Tất cả ứng dụng đã được cập nhật.";

namespace {

struct Reason {
  const char* prefix;  // of the engine's line
  const char* text;    // what the person reads
};

// The engine's prefixes, most specific first ("snap install failed: " before
// "install failed: " would not matter, they are matched at the start).
const Reason REASONS[] = {
    {"download failed: cannot write", "Lý do: không ghi được gói tải về (ổ đĩa có thể đã đầy)."},
    {"download failed: cannot create", "Lý do: không ghi được gói tải về (ổ đĩa có thể đã đầy)."},
    {"download failed: ", "Lý do: không tải được gói ứng dụng từ cửa hàng."},
    {"authorisation refused: ",
     "Lý do: việc cài đặt không được cấp quyền (đã huỷ hoặc bị từ chối)."},
    {"package refused: ", "Lý do: gói ứng dụng không hợp lệ nên đã bị từ chối."},
    {"unpack failed: ", "Lý do: không giải nén được gói ứng dụng (ổ đĩa có thể đã đầy)."},
    {"no package key: ", "Lý do: không có khoá để mở gói ứng dụng."},
    {"snap install failed: ", "Lý do: hệ thống không cài được gói snap của ứng dụng."},
    {"install failed: ", "Lý do: hệ thống không cài được gói snap của ứng dụng."},
    {"metadata not installed: ", "Lý do: không ghi được thông tin của ứng dụng."},
    {"cannot take the install lock: ", "Lý do: một lượt cài đặt khác đang chạy."},
    {"gave up waiting: ", "Lý do: một lượt cài đặt khác của ứng dụng này chạy quá lâu."},
    {"cannot create the work folder: ", "Lý do: không tạo được thư mục tạm (ổ đĩa có thể đã đầy)."},
    {"another install is running", "Lý do: một lượt cài đặt khác đang chạy."},
    {"not signed in", "Lý do: chưa đăng nhập."},
    {"the store service did not answer", "Lý do: dịch vụ NeltStore không trả lời."},
    {"the store service refused", "Lý do: cửa hàng từ chối tài khoản (hãy đăng nhập lại)."},
    {"the store service holds no usable", "Lý do: tài khoản chưa sẵn sàng (hãy đăng nhập lại)."},
    {"no store service client", "Lý do: dịch vụ NeltStore không chạy."},
};

}  // namespace

QString installFailureReason(const std::string& reason) {
  for (const Reason& r : REASONS) {
    if (reason.compare(0, std::strlen(r.prefix), r.prefix) == 0) return QString::fromUtf8(r.text);
  }
  return QString::fromUtf8("Lý do: lỗi không xác định khi cài đặt.");
}
