// The HTTP client of the Windows build: WinHTTP, which uses the system's proxy settings and its
// certificate store as every Windows program does.
#include "indexscout/http.hpp"

#include "indexscout/http_body.hpp"
#include "services/wide.hpp"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <climits>

#ifndef SWITCHYARD_VERSION
#define SWITCHYARD_VERSION "0"
#endif
#define INDEXSCOUT_WIDEN_(text) L##text
#define INDEXSCOUT_WIDEN(text) INDEXSCOUT_WIDEN_(text)

namespace indexscout::http {
namespace {

using Clock = std::chrono::steady_clock;

struct Handle {
  HINTERNET h = nullptr;
  explicit Handle(HINTERNET handle) : h(handle) {}
  ~Handle() {
    if (h) ::WinHttpCloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  explicit operator bool() const { return h != nullptr; }
};

std::string error_text(DWORD code) {
  wchar_t* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  HMODULE module = ::GetModuleHandleW(L"winhttp.dll");
  if (module && code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  DWORD n = ::FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n ? corvane::wide::to_utf8(std::wstring_view(text, n)) : "error " + std::to_string(code);
  if (text) ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out;
}

[[noreturn]] void fail(const Request& request, const char* step) {
  DWORD code = ::GetLastError();
  if (code == ERROR_WINHTTP_TIMEOUT) throw HttpError("", true);
  throw HttpError(std::string(step) + " " + request.url + ": " + error_text(code), false);
}

std::wstring query_text(HINTERNET request, DWORD what) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::wstring out(size / sizeof(wchar_t), L'\0');
  if (!::WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, out.data(), &size, WINHTTP_NO_HEADER_INDEX))
    return {};
  out.resize(size / sizeof(wchar_t));
  return out;
}

std::wstring effective_url(HINTERNET request) {
  DWORD size = 0;
  ::WinHttpQueryOption(request, WINHTTP_OPTION_URL, nullptr, &size);
  if (size == 0) return {};
  std::wstring out(size / sizeof(wchar_t), L'\0');
  if (!::WinHttpQueryOption(request, WINHTTP_OPTION_URL, out.data(), &size)) return {};
  out.resize(size / sizeof(wchar_t));
  while (!out.empty() && out.back() == L'\0') out.pop_back();
  return out;
}

}  // namespace

struct Session::Impl {
  HINTERNET session = nullptr;
  ~Impl() {
    if (session) ::WinHttpCloseHandle(session);
  }
};

ClientUnavailable::ClientUnavailable()
    : std::runtime_error("HTTP client is not installed; package indexes cannot be queried") {}

Session::Session() : impl_(std::make_unique<Impl>()) {}

Session::~Session() = default;

std::shared_ptr<Session> Session::create() {
  std::shared_ptr<Session> s(new Session());
  const wchar_t* agent = L"indexscout/" INDEXSCOUT_WIDEN(SWITCHYARD_VERSION);
  // The system's proxy settings, automatic configuration included (Windows 8.1 and later).
  s->impl_->session = ::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
  if (!s->impl_->session)
    s->impl_->session = ::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0);
  if (!s->impl_->session) throw ClientUnavailable();
  // Compressed answers are taken and inflated, as the Linux client does.
  DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_ALL;
  ::WinHttpSetOption(s->impl_->session, WINHTTP_OPTION_DECOMPRESSION, &decompression, sizeof decompression);
  return s;
}

Response Session::get(const Request& request) {
  const auto deadline = Clock::now() + request.timeout;
  auto left_ms = [&]() -> int {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) throw HttpError("", true);
    return static_cast<int>(std::min<long long>(left, INT_MAX));
  };

  std::wstring url = corvane::wide::from_utf8(request.url);
  if (auto hash = url.find(L'#'); hash != std::wstring::npos) url.resize(hash);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
  if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
    throw HttpError("not a URL that can be fetched: " + request.url, false);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    throw HttpError("only http and https URLs are fetched: " + request.url, false);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Handle connection(::WinHttpConnect(impl_->session, host.c_str(), parts.nPort, 0));
  if (!connection) fail(request, "cannot connect to");
  // The URL is sent as it is: it was escaped when it was resolved.
  DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
  Handle http(::WinHttpOpenRequest(connection.h, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!http) fail(request, "cannot request");
  for (const std::string& header : request.headers) {
    std::wstring line = corvane::wide::from_utf8(header);
    if (!::WinHttpAddRequestHeaders(http.h, line.c_str(), static_cast<DWORD>(line.size()),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
      fail(request, "bad header for");
  }

  int ms = left_ms();
  ::WinHttpSetTimeouts(http.h, ms, ms, ms, ms);
  if (!::WinHttpSendRequest(http.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    fail(request, "cannot send the request for");
  if (!::WinHttpReceiveResponse(http.h, nullptr)) fail(request, "no response for");

  Response response;
  DWORD status = 0, size = sizeof status;
  if (!::WinHttpQueryHeaders(http.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    fail(request, "no status in the response for");
  response.status = static_cast<long>(status);
  response.content_type = corvane::wide::to_utf8(query_text(http.h, WINHTTP_QUERY_CONTENT_TYPE));
  std::wstring final_url = effective_url(http.h);
  response.url = final_url.empty() ? request.url : corvane::wide::to_utf8(final_url);

  BodySink sink(request, response.body);
  if (!sink.ready()) throw HttpError(sink.write_error(), false);
  std::string buffer(64 * 1024, '\0');
  while (true) {
    ms = left_ms();
    ::WinHttpSetTimeouts(http.h, ms, ms, ms, ms);
    DWORD got = 0;
    if (!::WinHttpReadData(http.h, buffer.data(), static_cast<DWORD>(buffer.size()), &got))
      fail(request, "cannot read the response for");
    if (got == 0) break;
    BodySink::Verdict verdict = sink.take(buffer.data(), got);
    if (verdict == BodySink::Verdict::stop) break;
    if (verdict == BodySink::Verdict::too_large) throw too_large(request);
    if (verdict == BodySink::Verdict::write_failed) throw HttpError(sink.write_error(), false);
  }
  if (!sink.finish(response)) throw HttpError(sink.write_error(), false);
  return response;
}

std::string sha256_hex(std::string_view data) { return corvane::digest::sha256_hex(data); }

}  // namespace indexscout::http
