#pragma once
// Reading and writing one frame (2-byte little-endian length, then the body)
// on a connected local stream. A connection is served by one coroutine at a
// time, so neither function may run concurrently with another on the same
// stream. Neither throws: failures come back as values.

#include <cstdint>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

namespace korvid::ipc {

using Stream = boost::asio::local::stream_protocol::socket;

enum class FrameRead { Body, EndOfStream, IoError };

// Resizes `buffer` to exactly the announced length and fills it; on Body the
// buffer holds the frame's body. A close anywhere, also inside the length or
// the body, is EndOfStream.
boost::asio::awaitable<FrameRead> read_frame(Stream& stream, std::vector<std::uint8_t>& buffer);

// Writes the length and then the body, both completely. A body longer than
// kMaxFrameBody is refused (message_size) and nothing is written; a write
// that accepts zero bytes fails (broken_pipe).
boost::asio::awaitable<boost::system::error_code> write_frame(Stream& stream, std::string_view body);

}  // namespace korvid::ipc
