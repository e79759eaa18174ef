#pragma once
// The server's end of a child's pipe as an asio stream read and written on the loop: a stream
// descriptor on POSIX, an overlapped pipe handle on Windows.
#include "services/process.hpp"

#ifdef _WIN32
#include <boost/asio/windows/stream_handle.hpp>
#else
#include <boost/asio/posix/stream_descriptor.hpp>
#endif

namespace corvane::process {

#ifdef _WIN32
using PipeStream = boost::asio::windows::stream_handle;
#else
using PipeStream = boost::asio::posix::stream_descriptor;
#endif

}  // namespace corvane::process
