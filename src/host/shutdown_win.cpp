// Stop requests on Windows. A console program hears Ctrl+C, Ctrl+Break and the closing of its
// console through a console control handler; logoff and shutdown reach that handler only while
// the process has no window machinery loaded, so a hidden top-level window, on a thread of its
// own, also answers the session-end messages (and a close request, which is what
// "taskkill /PID n" without /F sends). Both hand the request to the loop; for the console
// closing, logoff and shutdown the system ends the process once the handler returns, so those
// handlers hold on until the server has stopped (the system allows a few seconds).
#include "host/shutdown.hpp"

#include <boost/asio/post.hpp>

#include <windows.h>

#include <atomic>
#include <thread>

namespace switchyard::host {

struct StopRequests::Impl {
  boost::asio::io_context& ioc;
  std::function<void(const std::string&)> on_stop;
  std::atomic<bool> requested{false};
  HANDLE stopped_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread window_thread;
  std::atomic<HWND> window{nullptr};

  Impl(boost::asio::io_context& ioc, std::function<void(const std::string&)> on_stop)
      : ioc(ioc), on_stop(std::move(on_stop)) {}

  // From any thread.
  void request(const char* what) {
    if (requested.exchange(true)) return;
    boost::asio::post(ioc, [this, what] { on_stop(what); });
  }

  void wait_until_stopped() { ::WaitForSingleObject(stopped_event, 30000); }
};

namespace {

std::atomic<StopRequests::Impl*> g_impl{nullptr};

BOOL WINAPI console_event(DWORD type) {
  StopRequests::Impl* impl = g_impl.load();
  if (!impl) return FALSE;
  switch (type) {
    case CTRL_C_EVENT:
      impl->request("Ctrl+C");
      return TRUE;
    case CTRL_BREAK_EVENT:
      impl->request("Ctrl+Break");
      return TRUE;
    case CTRL_CLOSE_EVENT:
      impl->request("console close");
      impl->wait_until_stopped();
      return TRUE;
    case CTRL_LOGOFF_EVENT:
      impl->request("logoff");
      impl->wait_until_stopped();
      return TRUE;
    case CTRL_SHUTDOWN_EVENT:
      impl->request("shutdown");
      impl->wait_until_stopped();
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT CALLBACK window_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  StopRequests::Impl* impl = g_impl.load();
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam && impl) {
        impl->request((lparam & ENDSESSION_LOGOFF) ? "logoff" : "shutdown");
        impl->wait_until_stopped();
      }
      return 0;
    case WM_CLOSE:
      if (impl) impl->request("close request");
      return 0;
    default:
      return ::DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

void run_window(StopRequests::Impl* impl) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSW cls{};
  cls.lpfnWndProc = &window_message;
  cls.hInstance = instance;
  cls.lpszClassName = L"switchyard-session";
  ::RegisterClassW(&cls);
  HWND hwnd = ::CreateWindowExW(0, cls.lpszClassName, L"switchyard", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return;
  impl->window = hwnd;
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

}  // namespace

StopRequests::StopRequests(boost::asio::io_context& ioc, std::function<void(const std::string&)> on_stop)
    : impl_(std::make_unique<Impl>(ioc, std::move(on_stop))) {
  g_impl = impl_.get();
  ::SetConsoleCtrlHandler(&console_event, TRUE);
  impl_->window_thread = std::thread(run_window, impl_.get());
}

StopRequests::~StopRequests() {
  ::SetConsoleCtrlHandler(&console_event, FALSE);
  if (HWND hwnd = impl_->window.load()) ::PostMessageW(hwnd, WM_QUIT, 0, 0);
  // The thread may still be creating its window: it ends with the process.
  if (impl_->window_thread.joinable()) impl_->window_thread.detach();
  g_impl = nullptr;
}

void StopRequests::stopped() { ::SetEvent(impl_->stopped_event); }

}  // namespace switchyard::host
