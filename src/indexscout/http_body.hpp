#pragma once
// A response body as it arrives, for both HTTP clients: kept in memory or written to the
// request's file (and hashed on the way), bounded by the request's limit; a status-only request
// drains a small body (so that the connection can be reused) and stops at a large one.
#include "indexscout/http.hpp"
#include "services/platform.hpp"
#include "services/digest.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace indexscout::http {

class BodySink {
 public:
  enum class Verdict { more, stop, too_large, write_failed };

  BodySink(const Request& request, std::string& body) : request_(request), body_(body) {
    if (!request.sink_file.empty() && !request.status_only) {
      file_.emplace(request.sink_file, std::ios::binary | std::ios::trunc);
      if (!*file_) failed_ = "cannot create " + corvane::platform::path_to_utf8(request.sink_file) + ": " + std::strerror(errno);
      hash_.emplace();
    }
  }

  // Ready to receive: false when the file could not be created (write_error() says why).
  bool ready() const { return failed_.empty(); }

  Verdict take(const char* data, std::size_t n) {
    received_ += n;
    if (request_.status_only) return received_ > kStatusOnlyDrain ? Verdict::stop : Verdict::more;
    if (received_ > request_.max_body) return Verdict::too_large;
    if (file_) {
      if (!file_->write(data, static_cast<std::streamsize>(n))) {
        failed_ = std::string("cannot store response: ") + std::strerror(errno);
        return Verdict::write_failed;
      }
      hash_->update(std::string_view(data, n));
    } else {
      body_.append(data, n);
    }
    return Verdict::more;
  }

  // Flushes the file; false (with write_error()) when that fails.
  bool finish(Response& response) {
    response.body_bytes = received_;
    if (file_) {
      file_->flush();
      if (!*file_) {
        failed_ = std::string("cannot store response: ") + std::strerror(errno);
        return false;
      }
      file_->close();
      response.body_sha256 = corvane::digest::hex(hash_->finish());
    }
    if (request_.status_only) response.body.clear();
    return true;
  }

  std::size_t received() const { return received_; }
  const std::string& write_error() const { return failed_; }

 private:
  static constexpr std::size_t kStatusOnlyDrain = 64 * 1024;

  const Request& request_;
  std::string& body_;
  std::optional<std::ofstream> file_;
  std::optional<corvane::digest::Sha256> hash_;
  std::size_t received_ = 0;
  std::string failed_;
};

inline HttpError too_large(const Request& request) {
  return HttpError("response from " + request.url + " is larger than " + std::to_string(request.max_body) + " bytes",
                   false);
}

}  // namespace indexscout::http
