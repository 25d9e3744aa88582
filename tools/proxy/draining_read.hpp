// Plain-TCP reads that remember when they emptied the socket.
//
// Asio's reactor reads a socket speculatively before it waits on it, and
// stops trying first only after end of stream. So every read that has to
// wait (a keep-alive client's next request, a backend's answer) first costs
// a recv that fails with EAGAIN: on small requests, close to a third of the
// proxy's system calls. A read that returns less than it had room for has
// emptied the socket's receive queue, and any byte that arrives after it
// raises an edge the reactor will see. Reporting such a read as exhausted
// (the reactor's own mark for end of stream) makes the next read wait for
// that edge instead of trying first. The mark is set inside the reactor, in
// the same step as the read, so no edge can slip in between.
//
// This specialises the epoll reactor's receive operation of this Asio
// (Boost 1.81, its default reactor) for a buffer type of our own; with any
// other Asio or reactor, `draining` hands the buffers on unchanged and reads
// behave as Asio's own. Header-only.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/socket_base.hpp>  // before the receive operation, which uses it
#include <boost/asio/detail/reactive_socket_recv_op.hpp>
#include <boost/version.hpp>

#include <array>
#include <type_traits>

#if BOOST_VERSION / 100 == 1081 && defined(BOOST_ASIO_HAS_EPOLL) && !defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT)
#define QUILLMAR_DRAINING_READS 1
#endif

namespace quillmar::proxy {

// A buffer sequence read by the draining receive operation: one buffer, or
// a buffer and a spill buffer behind it.
template <class Buffers>
struct Draining : Buffers {
    explicit Draining(const Buffers& b) : Buffers(b) {}
};

// `buffers` as the plain socket's read should take them.
template <class Buffers>
auto draining(const Buffers& buffers) {
#ifdef QUILLMAR_DRAINING_READS
    if constexpr (std::is_convertible_v<const Buffers&, boost::asio::mutable_buffer>)
        return Draining<boost::asio::mutable_buffer>(buffers);
    else if constexpr (std::is_same_v<Buffers, std::array<boost::asio::mutable_buffer, 2>>)
        return Draining<Buffers>(buffers);
    else
#endif
        return buffers;
}

}  // namespace quillmar::proxy

#ifdef QUILLMAR_DRAINING_READS
namespace boost::asio::detail {

template <class Buffers>
class reactive_socket_recv_op_base<quillmar::proxy::Draining<Buffers>> : public reactor_op {
public:
    reactive_socket_recv_op_base(const boost::system::error_code& success_ec, socket_type socket,
                                 socket_ops::state_type state, const quillmar::proxy::Draining<Buffers>& buffers,
                                 socket_base::message_flags flags, func_type complete_func)
        : reactor_op(success_ec, &reactive_socket_recv_op_base::do_perform, complete_func),
          socket_(socket),
          state_(state),
          buffers_(buffers),
          flags_(flags) {}

    static status do_perform(reactor_op* base) {
        auto* o = static_cast<reactive_socket_recv_op_base*>(base);
        buffer_sequence_adapter<boost::asio::mutable_buffer, Buffers> bufs(o->buffers_);
        const bool stream = (o->state_ & socket_ops::stream_oriented) != 0;
        if (!socket_ops::non_blocking_recv(o->socket_, bufs.buffers(), bufs.count(), o->flags_, stream, o->ec_,
                                           o->bytes_transferred_))
            return not_done;
        // Nothing (end of stream or an error) or less than there was room
        // for: the queue is empty until the next edge.
        if (stream && (o->bytes_transferred_ == 0 || o->bytes_transferred_ < bufs.total_size()))
            return done_and_exhausted;
        return done;
    }

private:
    socket_type socket_;
    socket_ops::state_type state_;
    Buffers buffers_;
    socket_base::message_flags flags_;
};

}  // namespace boost::asio::detail
#endif
