#include "ipc/frame.hpp"

#include <array>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "ipc/protocol.hpp"

namespace korvid::ipc {

namespace asio = boost::asio;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

namespace {
FrameRead classify(const boost::system::error_code& ec) {
  return ec == asio::error::eof ? FrameRead::EndOfStream : FrameRead::IoError;
}
}  // namespace

asio::awaitable<FrameRead> read_frame(Stream& stream, std::vector<std::uint8_t>& buffer) {
  std::array<std::uint8_t, 2> header{};
  auto [header_ec, header_bytes] = co_await asio::async_read(stream, asio::buffer(header), use_tuple);
  if (header_ec) co_return classify(header_ec);
  if (header_bytes != header.size()) co_return FrameRead::IoError;

  const std::size_t length = frame_length(header[0], header[1]);
  buffer.resize(length);
  if (length == 0) co_return FrameRead::Body;
  auto [body_ec, body_bytes] = co_await asio::async_read(stream, asio::buffer(buffer), use_tuple);
  if (body_ec) co_return classify(body_ec);
  if (body_bytes != length) co_return FrameRead::IoError;
  co_return FrameRead::Body;
}

asio::awaitable<boost::system::error_code> write_frame(Stream& stream, std::string_view body) {
  const auto header = frame_header(body.size());
  if (!header) co_return asio::error::message_size;
  // One gathered write: the length still goes out completely before any body
  // byte, and a reply costs one system call instead of two.
  const std::array<asio::const_buffer, 2> buffers{asio::buffer(*header), asio::buffer(body)};
  auto [ec, written] = co_await asio::async_write(stream, buffers, use_tuple);
  if (ec) co_return ec;
  // async_write stops early, without an error, when a write accepts nothing.
  if (written != header->size() + body.size()) co_return asio::error::broken_pipe;
  co_return boost::system::error_code{};
}

}  // namespace korvid::ipc
