// Who is at the other end of a loopback TCP connection.
//
// Unix sockets have SO_PEERCRED; TCP has nothing like it, but for a
// connection between two processes of this machine the kernel knows both
// sockets, and each socket records the uid that created it. Both the service
// (to decide who may ask for account data) and its clients (to make sure they
// talk to the real service and not to a stand-in bound to the port by some
// other user) look the other end up here.
#pragma once

#include <sys/types.h>

#include <string>

namespace nelt {

struct PeerUid {
  bool known = false;  // false: the owner could not be told; treat as a stranger
  uid_t uid = 0;       // meaningful only when known
  std::string reason;  // why the owner is unknown (for the log)
};

// The uid owning the socket at the other end of the connected TCP socket
// `fd`. Only loopback peers are looked up: for any other address the answer
// is "unknown". Asks the kernel's socket diagnostics (sock_diag netlink) for
// the exact 4-tuple and falls back to /proc/net/tcp and /proc/net/tcp6.
// Until the other end accepts the connection the kernel cannot name its
// owner; such a connection is asked about again for up to 3 s and otherwise
// reported as unknown.
PeerUid peerUidOf(int fd);

// Which kernel interface to ask; `Any` (the default above) tries the netlink
// look-up first and the /proc tables when it fails.
enum class PeerSource { Any, SockDiag, ProcNet };
PeerUid peerUidOf(int fd, PeerSource source);

// The look-up for a socket this process accepted: the other end is a client
// that connected on its own, so it is never waited for. A client that has
// already closed its socket is reported as unknown at once; a server must not
// let one abandoned connection hold up everyone else for seconds.
PeerUid peerUidOfClient(int fd);

// Name of the environment variable that lets a client accept a service
// running under a uid other than root or its own (tests, demos).
extern const char* const TRUST_SERVICE_UID_ENV;

// Whether a client should talk to a service whose end of the connection
// belongs to `peer`: root, the caller's own uid, or the uid named by the
// environment variable above ("any" accepts every known uid). Fills `why`
// with a one-line reason when it refuses.
bool serviceUidAcceptable(const PeerUid& peer, std::string& why);

// Checks `fd` as above in one step.
bool checkServiceEnd(int fd, std::string& why);

}  // namespace nelt
