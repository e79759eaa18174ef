#include "indexscout/http.hpp"

#include "indexscout/http_body.hpp"

#include <curl/curl.h>

#include <mutex>

#ifndef SWITCHYARD_VERSION
#define SWITCHYARD_VERSION "0"
#endif

namespace indexscout::http {
namespace {

bool global_init() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

struct Transfer {
  BodySink* sink;
  BodySink::Verdict verdict = BodySink::Verdict::more;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  t->verdict = t->sink->take(data, n);
  return t->verdict == BodySink::Verdict::more ? n : 0;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

// One share of connections, DNS and TLS sessions for every request of the session.
struct Session::Impl {
  CURLSH* share = nullptr;
  std::mutex locks[8];

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Impl*>(self)->locks[static_cast<unsigned>(data) % 8].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Impl*>(self)->locks[static_cast<unsigned>(data) % 8].unlock();
  }
  ~Impl() {
    if (share) curl_share_cleanup(share);
  }
};

ClientUnavailable::ClientUnavailable()
    : std::runtime_error("HTTP client is not installed; package indexes cannot be queried") {}

Session::Session() : impl_(std::make_unique<Impl>()) {}

std::shared_ptr<Session> Session::create() {
  if (!global_init()) throw ClientUnavailable();
  std::shared_ptr<Session> s(new Session());
  CURLSH* share = curl_share_init();
  if (!share) throw ClientUnavailable();
  s->impl_->share = share;
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lock);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
  curl_share_setopt(share, CURLSHOPT_USERDATA, s->impl_.get());
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  return s;
}

Session::~Session() = default;

Response Session::get(const Request& request) {
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw ClientUnavailable();
  CURL* h = easy.get();
  Response response;
  BodySink sink(request, response.body);
  if (!sink.ready()) throw HttpError(sink.write_error(), false);
  Transfer transfer{&sink};
  char error[CURL_ERROR_SIZE] = {0};

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const std::string& header : request.headers) {
    curl_slist* next = curl_slist_append(headers.get(), header.c_str());
    if (!next) throw HttpError("out of memory", false);
    headers.release();
    headers.reset(next);
  }

  curl_easy_setopt(h, CURLOPT_SHARE, impl_->share);
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_USERAGENT, "indexscout/" SWITCHYARD_VERSION);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  CURLcode rc = curl_easy_perform(h);
  if (rc == CURLE_OPERATION_TIMEDOUT) throw HttpError("", true);
  if (transfer.verdict == BodySink::Verdict::too_large) throw too_large(request);
  if (transfer.verdict == BodySink::Verdict::write_failed) throw HttpError(sink.write_error(), false);
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && transfer.verdict == BodySink::Verdict::stop))
    throw HttpError(error[0] ? std::string(error) : std::string(curl_easy_strerror(rc)), false);
  if (!sink.finish(response)) throw HttpError(sink.write_error(), false);

  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  char* content_type = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &content_type) == CURLE_OK && content_type)
    response.content_type = content_type;
  char* effective = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) response.url = effective;
  else response.url = request.url;
  return response;
}

std::string sha256_hex(std::string_view data) { return corvane::digest::sha256_hex(data); }

}  // namespace indexscout::http
