#include "LineServer.h"

#include <httplib.h>

#include <charconv>
#include <mutex>

#include "LineFacts.h"

namespace {

// The page and its scripts come from here alone; the data it shows goes in as text, never as markup.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

std::optional<ListenAddress> ParseListenAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  ListenAddress a;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!host.empty()) a.host = host;
  const std::string port = text.substr(colon + 1);
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), a.port);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || a.port < 0 || a.port > 65535)
    return std::nullopt;
  return a;
}

struct CLineServer::Impl {
  std::unique_ptr<ILineRecord> record;
  std::mutex mutex;  // the record's connection and the facts are one request's at a time
  CLineFacts facts;
  std::string lastError;
  httplib::Server http;

  explicit Impl(std::unique_ptr<ILineRecord> r) : record(std::move(r)), facts(*record) {}

  Answer Get(const std::string& path) {
    if (path == "/") return {200, "text/html; charset=utf-8", kPageHtml};
    if (path == "/page.css") return {200, "text/css; charset=utf-8", kPageCss};
    if (path == "/page.js") return {200, "text/javascript; charset=utf-8", kPageJs};
    const bool api = path.rfind("/api/", 0) == 0;
    if (!api && path != "/metrics") return {404, "text/plain; charset=utf-8", "not found\n"};

    std::lock_guard lock(mutex);
    const auto now = std::chrono::system_clock::now();
    std::string error;
    if (!facts.Refresh(now, error)) {
      // The last facts read stay on show; the page says the record is not answering.
      lastError = error;
    } else {
      lastError.clear();
    }
    if (path == "/metrics") {
      std::string body = facts.Metrics(now);
      body += "# HELP tarvisel_record_up Whether the last read of the record succeeded.\n"
              "# TYPE tarvisel_record_up gauge\ntarvisel_record_up " +
              std::string(lastError.empty() ? "1" : "0") + "\n";
      return {200, "text/plain; version=0.0.4; charset=utf-8", body};
    }
    const auto today = LocalMidnight(now);
    nlohmann::json body;
    const std::string what = path.substr(5);
    if (what == "line") {
      body = facts.Line(now, today);
      body["record_error"] = lastError.empty() ? nlohmann::json(nullptr) : nlohmann::json(lastError);
    } else if (what == "stations") body = facts.Stations(now, today);
    else if (what == "latest") body = facts.Latest();
    else if (what == "failures") body = facts.Failures(now);
    else if (what == "today") body = facts.Today(today);
    else if (what == "hours") body = facts.Hours(now);
    else return {404, "application/json", "{\"error\":\"no such data\"}\n"};
    // Text from handsets and devices may be anything: invalid UTF-8 is replaced, not refused.
    return {200, "application/json", body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"};
  }
};

CLineServer::CLineServer(std::unique_ptr<ILineRecord> record) : m_impl(std::make_unique<Impl>(std::move(record))) {
  httplib::Server& http = m_impl->http;
  http.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
    res.set_content("read-only: GET and HEAD only\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  http.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    Answer a = m_impl->Get(req.path);
    res.status = a.status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", kPolicy);
    res.set_content(std::move(a.body), a.type.c_str());
  });
}

CLineServer::~CLineServer() = default;

bool CLineServer::Load(std::string& error) {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->facts.Refresh(std::chrono::system_clock::now(), error);
}

int CLineServer::Bind(const ListenAddress& address) {
  if (address.port == 0) return m_impl->http.bind_to_any_port(address.host);
  return m_impl->http.bind_to_port(address.host, address.port) ? address.port : -1;
}

void CLineServer::Run() { m_impl->http.listen_after_bind(); }
void CLineServer::Stop() { m_impl->http.stop(); }

CLineServer::Answer CLineServer::Get(const std::string& path) { return m_impl->Get(path); }
