#include "host/shutdown.hpp"

#include "services/process.hpp"

#include <boost/asio/signal_set.hpp>

#include <signal.h>

namespace switchyard::host {

struct StopRequests::Impl {
  Impl(boost::asio::io_context& ioc, std::function<void(const std::string&)> on_stop)
      : children(ioc, SIGCHLD), stop_signals(ioc, SIGINT, SIGTERM), on_stop(std::move(on_stop)) {}

  void wait_children() {
    children.async_wait([this](const boost::system::error_code& ec, int) {
      if (ec) return;
      corvane::process::reap_children();
      wait_children();
    });
  }

  boost::asio::signal_set children;
  boost::asio::signal_set stop_signals;
  std::function<void(const std::string&)> on_stop;
};

StopRequests::StopRequests(boost::asio::io_context& ioc, std::function<void(const std::string&)> on_stop)
    : impl_(std::make_unique<Impl>(ioc, std::move(on_stop))) {
  // Reap every child that exits (kernels, inspector, editor).
  impl_->wait_children();
  impl_->stop_signals.async_wait([impl = impl_.get()](const boost::system::error_code& ec, int signal_number) {
    if (ec) return;
    impl->on_stop("signal " + std::to_string(signal_number));
  });
}

StopRequests::~StopRequests() = default;

void StopRequests::stopped() {}

}  // namespace switchyard::host
