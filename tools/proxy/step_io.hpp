// Reading an HTTP message and writing a buffer sequence whole, one socket
// operation at a time from the calling coroutine:
//
//   MessageRead read(buffer, parser, MessageRead<true>::Until::header);
//   while (read.wants_bytes()) {
//       auto [ec, n] = co_await stream.async_read_some(read.space(), use_tuple);
//       read.received(ec, n);
//   }
//   if (read.error()) ...
//
//   WriteAll out(buffers);
//   while (out.wants_write()) {
//       auto [ec, n] = co_await stream.async_write_some(out.rest(), use_tuple);
//       out.wrote(ec, n);
//   }
//
//   LengthRead read(buffer, net::buffer(body));   // a body of known length
//   while (read.wants_bytes()) { ...async_read_some(read.space())...; read.received(ec, n); }
//
// MessageRead keeps the rules of Beast's http::async_read, async_read_some and
// async_read_header (parse what is buffered first, read at most 64 KiB at a
// time, an end of stream before any byte is error::end_of_stream, one after
// some bytes ends the message through put_eof) and gives the same error
// codes; WriteAll those of Asio's async_write. Two rules are its own: the
// rest of a body whose length is known is asked for in one read (16 KiB,
// then up to 64 KiB once a read came back full), where Beast asks for what
// its buffer has room for; and past the head at most 64 KiB may wait
// unparsed (a chunk's size line or the trailer), where Beast would buffer
// any amount: more is http::error::header_limit.
//
// What they drop is the composed operation around each socket operation:
// its layers, each with a work guard and executor copies, and a post when
// nothing had to wait. That was the largest cost the proxy added per
// request after the system calls. They are step objects and not coroutines
// of their own because a coroutine costs a frame per call. Nothing here
// allocates but the buffer's growth.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace quillmar::proxy {

// What is left of the body whose length the parsed head gave; 0 before the
// head, and when it gave none (chunked, or ended by the connection's end).
// Out of line, in step_io.cpp.
std::uint64_t body_length_left(const boost::beast::http::basic_parser<true>& parser) noexcept;
std::uint64_t body_length_left(const boost::beast::http::basic_parser<false>& parser) noexcept;

struct MessageReadBase {
    // some: what a read brought has been parsed into the message (a piece
    // of body, say), as Beast's http::async_read_some.
    enum class Until { header, message, some };
};

// parser.put, where Beast's throw for a field too large to store (64 KiB
// or more in one field: a trailer's, a head is bounded before) becomes
// http::error::header_limit. Thrown, it would leave the coroutine that
// reads and end the event loop, every connection with it.
template <bool isRequest, class ConstBuffers>
std::size_t put_guarded(boost::beast::http::basic_parser<isRequest>& parser, const ConstBuffers& bytes,
                        boost::beast::error_code& ec) {
    try {
        return parser.put(bytes, ec);
    } catch (const std::length_error&) {
        ec = boost::beast::http::error::header_limit;
        return 0;
    }
}

template <bool isRequest, class Buffer = boost::beast::flat_buffer>
class MessageRead : public MessageReadBase {
public:
    MessageRead(Buffer& buffer, boost::beast::http::basic_parser<isRequest>& parser, Until until)
        : buffer_(buffer), parser_(parser), until_(until) {}

    // Parses what is buffered; true when the parser needs more bytes and
    // the caller should read into space(), false when the message (or its
    // head) is complete or an error ended the read.
    bool wants_bytes() {
        namespace http = boost::beast::http;
        while (!ec_ && !reached()) {
            if (buffer_.size() > 0) {
                const std::size_t used = put_guarded(parser_, buffer_.data(), ec_);
                buffer_.consume(used);
                if (ec_ != http::error::need_more) {
                    progressed_ = true;
                    continue;
                }
                ec_ = {};
                // Past the head the parser takes every body byte it is
                // given: what it leaves is a chunk's size line or the
                // trailer, still incomplete, which it would have kept
                // growing without bound.
                if (parser_.is_header_done() && buffer_.size() >= kPendingLimit) {
                    ec_ = http::error::header_limit;
                    return false;
                }
            }
            next_read_ = boost::beast::read_size(buffer_, kReadSize);
            if (next_read_ == 0) {
                ec_ = http::error::buffer_overflow;
                return false;
            }
            // Until the head is parsed there is no body length to read. Past
            // it, what waits unparsed and what the read brings stay within
            // the limit: a trailer is parsed only once whole, all of it.
            if (parser_.is_header_done())
                next_read_ = std::min(std::max(next_read_, body_left()), kPendingLimit - buffer_.size());
            return true;
        }
        return false;
    }

    // Where the next read goes (after wants_bytes() said true).
    boost::asio::mutable_buffer space() { return buffer_.prepare(next_read_); }

    // The outcome of one read into space().
    void received(const boost::beast::error_code& ec, std::size_t n) {
        // A read that filled all it asked for: the bytes are flowing, the
        // body may have the larger reads.
        if (n == next_read_) body_read_ = kReadSize;
        buffer_.commit(n);
        if (ec != boost::asio::error::eof) {
            ec_ = ec;
            return;
        }
        // Some bytes then the end: a body delimited by the end of the
        // connection is complete (the parser is then done); anything else
        // was cut short.
        if (parser_.got_some()) parser_.put_eof(ec_);
        else ec_ = boost::beast::http::error::end_of_stream;
    }

    const boost::beast::error_code& error() const { return ec_; }

private:
    static constexpr std::size_t kReadSize = 65536;
    // The most a chunk's size line (with its extensions) or a trailer may
    // take; more is http::error::header_limit.
    static constexpr std::size_t kPendingLimit = 65536;
    // The first body read's size. A peer that announces a large body and
    // then trickles it must not make every connection hold kReadSize.
    static constexpr std::size_t kFirstBodyRead = 16384;

    bool reached() const {
        switch (until_) {
        case Until::header: return parser_.is_header_done();
        case Until::message: return parser_.is_done();
        case Until::some: return progressed_ || parser_.is_done();
        }
        return true;
    }

    // What is left of a body whose length the head gave, as much as one
    // read may take. The buffer's own growth rule only asks for room it
    // lacks (512 bytes at a time once a head has been parsed), which would
    // read a 100 KB body or an embeddings answer in hundreds of reads.
    std::size_t body_left() const {
        const std::uint64_t left = body_length_left(parser_);
        const std::size_t room = buffer_.max_size() - buffer_.size();
        return static_cast<std::size_t>(std::min<std::uint64_t>({left, body_read_, room}));
    }

    Buffer& buffer_;
    boost::beast::http::basic_parser<isRequest>& parser_;
    Until until_;
    boost::beast::error_code ec_;
    std::size_t next_read_ = 0;  // what wants_bytes() found room for
    bool progressed_ = false;    // a put took bytes without asking for more
    std::size_t body_read_ = kFirstBodyRead;  // the most body_left() asks for
};

// A body of known length read into its own storage: first what `buffer`
// holds already, then reads of the rest. Each read also offers `buffer` a
// little room past the body, so that bytes a peer sent beyond its message
// land there and stay visible (a connection holding them is not reused).
// An end of stream before the last byte is http::error::partial_message.
template <class Buffer>
class LengthRead {
public:
    LengthRead(Buffer& buffer, boost::asio::mutable_buffer body) : buffer_(buffer), body_(body) {
        got_ = boost::asio::buffer_copy(body_, buffer_.data());
        buffer_.consume(got_);
    }

    bool wants_bytes() const { return !ec_ && got_ < body_.size(); }
    std::array<boost::asio::mutable_buffer, 2> space() { return {body_ + got_, buffer_.prepare(kSpill)}; }
    void received(const boost::beast::error_code& ec, std::size_t n) {
        const std::size_t into_body = std::min(n, body_.size() - got_);
        got_ += into_body;
        buffer_.commit(n - into_body);
        ec_ = ec == boost::asio::error::eof ? boost::beast::http::error::partial_message : ec;
    }

    const boost::beast::error_code& error() const { return ec_; }

private:
    static constexpr std::size_t kSpill = 512;

    Buffer& buffer_;
    boost::asio::mutable_buffer body_;
    std::size_t got_ = 0;
    boost::beast::error_code ec_;
};

// A buffer sequence written whole, however many writes it takes; stops at
// the first error.
template <class ConstBuffers>
class WriteAll {
public:
    explicit WriteAll(const ConstBuffers& buffers) : rest_(buffers) {}

    bool wants_write() const { return !ec_ && boost::asio::buffer_size(rest_) > 0; }
    const boost::beast::buffers_suffix<ConstBuffers>& rest() const { return rest_; }
    void wrote(const boost::beast::error_code& ec, std::size_t n) {
        ec_ = ec;
        rest_.consume(n);
    }

    const boost::beast::error_code& error() const { return ec_; }

    // Writes what `stream` takes at once (its write_now): the common write
    // is then done without waiting.
    template <class Stream>
    void write_now(Stream& stream) {
        boost::beast::error_code ec;
        const std::size_t n = stream.write_now(rest_, ec);
        if (ec != boost::asio::error::would_block) wrote(ec, n);
    }

private:
    boost::beast::buffers_suffix<ConstBuffers> rest_;
    boost::beast::error_code ec_;
};

}  // namespace quillmar::proxy
