#include "indexscout/http.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#ifndef SWITCHYARD_VERSION
#define SWITCHYARD_VERSION "0"
#endif

namespace indexscout::http {
namespace {

constexpr std::size_t kStatusOnlyDrain = 64 * 1024;

bool global_init() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

struct Transfer {
  const Request* request;
  std::string* body;
  std::size_t received = 0;
  bool stopped_early = false;  // status-only transfer ended on purpose
  bool too_large = false;
  int write_errno = 0;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  t->received += n;
  if (t->request->status_only) {
    if (t->received > kStatusOnlyDrain) {
      t->stopped_early = true;
      return 0;
    }
    return n;
  }
  if (t->received > t->request->max_body) {
    t->too_large = true;
    return 0;
  }
  if (t->request->sink_fd >= 0) {
    std::size_t done = 0;
    while (done < n) {
      ssize_t w = ::write(t->request->sink_fd, data + done, n - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        t->write_errno = errno;
        return 0;
      }
      done += static_cast<std::size_t>(w);
    }
    return n;
  }
  t->body->append(data, n);
  return n;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

ClientUnavailable::ClientUnavailable()
    : std::runtime_error("HTTP client is not installed; package indexes cannot be queried") {}

std::shared_ptr<Session> Session::create() {
  if (!global_init()) throw ClientUnavailable();
  std::shared_ptr<Session> s(new Session());
  CURLSH* share = curl_share_init();
  if (!share) throw ClientUnavailable();
  s->share_ = share;
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Session::lock);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Session::unlock);
  curl_share_setopt(share, CURLSHOPT_USERDATA, s.get());
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  return s;
}

Session::~Session() {
  if (share_) curl_share_cleanup(static_cast<CURLSH*>(share_));
}

void Session::lock(void*, int data, int, void* self) {
  static_cast<Session*>(self)->locks_[static_cast<unsigned>(data) % 8].lock();
}

void Session::unlock(void*, int data, void* self) {
  static_cast<Session*>(self)->locks_[static_cast<unsigned>(data) % 8].unlock();
}

Response Session::get(const Request& request) {
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw ClientUnavailable();
  CURL* h = easy.get();
  Response response;
  Transfer transfer{&request, &response.body};
  char error[CURL_ERROR_SIZE] = {0};

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const std::string& header : request.headers) {
    curl_slist* next = curl_slist_append(headers.get(), header.c_str());
    if (!next) throw HttpError("out of memory", false);
    headers.release();
    headers.reset(next);
  }

  curl_easy_setopt(h, CURLOPT_SHARE, static_cast<CURLSH*>(share_));
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
  if (transfer.too_large)
    throw HttpError("response from " + request.url + " is larger than " + std::to_string(request.max_body) + " bytes",
                    false);
  if (transfer.write_errno) throw HttpError(std::string("cannot store response: ") + std::strerror(transfer.write_errno), false);
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && transfer.stopped_early))
    throw HttpError(error[0] ? std::string(error) : std::string(curl_easy_strerror(rc)), false);

  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  char* content_type = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &content_type) == CURLE_OK && content_type)
    response.content_type = content_type;
  char* effective = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) response.url = effective;
  else response.url = request.url;
  response.body_bytes = transfer.received;
  if (request.status_only) response.body.clear();
  return response;
}

std::string sha256_hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr))
    throw std::runtime_error("SHA-256 failed");
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 15]);
  }
  return out;
}

std::string sha256_hex_of_fd(int fd) {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr)) throw std::runtime_error("SHA-256 failed");
  char buf[1 << 16];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot read download: ") + std::strerror(errno));
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), buf, static_cast<std::size_t>(n));
    offset += n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &len);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 15]);
  }
  return out;
}

}  // namespace indexscout::http
