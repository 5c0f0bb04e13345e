#include "station/uevent_monitor.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "support/coded_error.h"

namespace station {

namespace {
constexpr unsigned kernel_group = 1;
constexpr int receive_buffer = 4 << 20;  // a burst of events (a hub of card readers) fits
constexpr std::size_t message_size = 16 << 10;
}  // namespace

uevent_monitor::uevent_monitor()
    : socket_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT)) {
  if (!socket_.valid()) {
    throw coded_error(reason::no_drive, "cannot listen to the kernel's device events: " + block_io::last_error_text(),
                      errno);
  }
  // As root the buffer may pass the system's limit; otherwise the limit holds.
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) != 0) {
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kernel_group;
  if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw coded_error(reason::no_drive, "cannot listen to the kernel's device events: " + block_io::last_error_text(),
                      errno);
  }
}

uevent_monitor::received uevent_monitor::next(std::chrono::milliseconds timeout) {
  pollfd waiting{socket_.get(), POLLIN, 0};
  const int ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return {};
  std::vector<char> message(message_size);
  sockaddr_nl sender{};
  iovec part{message.data(), message.size()};
  msghdr header{};
  header.msg_name = &sender;
  header.msg_namelen = sizeof sender;
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  const ssize_t size = ::recvmsg(socket_.get(), &header, 0);
  if (size < 0) return {std::nullopt, errno == ENOBUFS};
  // Only the kernel (port 0) speaks on its group; anything else is not trusted.
  if (sender.nl_pid != 0 || (header.msg_flags & MSG_TRUNC) != 0) return {};
  return {parse_uevent(message.data(), static_cast<std::size_t>(size)), false};
}

}  // namespace station
