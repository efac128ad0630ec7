#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace tallypad::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kRunningLine = "The server is running on port ";

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string TallypadBinary() {
#ifdef TALLYPAD_BINARY
  return TALLYPAD_BINARY;
#else
  return "";
#endif
}

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int FreePort() {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
  socklen_t len = sizeof addr;
  if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

HeldPort::HeldPort(int port) : port_(port) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // Closed connections linger on recently used ports; a listener may take
  // such a port all the same, and it keeps every other listener out.
  int on = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::listen(s.get(), 1) == 0)
    fd_ = std::move(s);
}

HeldPortRange::HeldPortRange(int count) {
  // Below the system's range of client ports, where connections of
  // neighbouring tests come and go.
  constexpr int kLow = 20000, kHigh = 32000;
  unsigned seed = static_cast<unsigned>(getpid()) * 7919u +
                  static_cast<unsigned>(Clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 200; ++attempt) {
    seed = seed * 1103515245u + 12345u;
    int base = kLow + static_cast<int>((seed >> 8) % static_cast<unsigned>(kHigh - kLow - count));
    ports_.clear();
    for (int p = base; p < base + count; ++p) {
      auto held = std::make_unique<HeldPort>(p);
      if (!held->ok()) break;
      ports_.push_back(std::move(held));
    }
    if (static_cast<int>(ports_.size()) == count) return;
  }
  ports_.clear();
}

std::optional<std::string> HttpResponse::Header(std::string_view name) const {
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find('\n', start);
    if (end == std::string::npos) end = headers.size();
    std::string_view line = std::string_view(headers).substr(start, end - start);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view key = Trim(line.substr(0, colon));
      if (key.size() == name.size() &&
          std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          }))
        return std::string(Trim(line.substr(colon + 1)));
    }
    start = end + 1;
  }
  return std::nullopt;
}

HttpResponse ParseHttpResponse(std::string raw, bool closed) {
  HttpResponse r;
  r.closed = closed;
  size_t blank = std::string::npos;
  for (size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] != '\n') continue;
    if (raw[i - 1] == '\n' || (raw[i - 1] == '\r' && i >= 2 && raw[i - 2] == '\n')) {
      blank = i + 1;
      break;
    }
  }
  std::string head = raw.substr(0, blank == std::string::npos ? raw.size() : blank);
  if (blank != std::string::npos) r.body = raw.substr(blank);
  size_t first_end = head.find('\n');
  r.status_line = std::string(Trim(head.substr(0, first_end)));
  if (first_end != std::string::npos) r.headers = head.substr(first_end + 1);
  r.raw = std::move(raw);
  return r;
}

bool HttpClient::Connect(int port, std::string_view local_ip) {
  fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd_.valid() && !local_ip.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, std::string(local_ip).c_str(), &local.sin_addr) != 1 ||
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      fd_.reset();
      return false;
    }
  }
  sockaddr_in addr = LoopbackAddress(port);
  if (!fd_.valid() || ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    fd_.reset();
    return false;
  }
  return true;
}

bool HttpClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void HttpClient::ShutdownWrite() {
  if (fd_.valid()) ::shutdown(fd_.get(), SHUT_WR);
}

bool HttpClient::Readable(int timeout_ms) {
  pollfd p{fd_.get(), POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

HttpResponse HttpClient::ReadResponse(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string raw;
  bool closed = false;
  char buf[65536];
  while (fd_.valid()) {
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // time-out
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) closed = true;
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
  }
  return ParseHttpResponse(std::move(raw), closed);
}

HttpResponse HttpExchange(int port, std::string_view request, int timeout_ms) {
  HttpClient client;
  if (!client.Connect(port)) return HttpResponse{};
  client.Send(request);
  return client.ReadResponse(timeout_ms);
}

HttpResponse HttpExchangeFrom(std::string_view local_ip, int port, std::string_view request,
                              int timeout_ms) {
  HttpClient client;
  if (!client.Connect(port, local_ip)) return HttpResponse{};
  client.Send(request);
  return client.ReadResponse(timeout_ms);
}

HttpResponse HttpGet(int port, std::string_view path) {
  return HttpExchange(port, "GET " + std::string(path) + " HTTP/1.0\r\n\r\n");
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

bool ServerProcess::Start(const Options& options) {
  std::string binary = options.binary.empty() ? TallypadBinary() : options.binary;
  if (binary.empty() || pid_ > 0) return false;

  std::vector<std::string> args = {binary};
  if (options.port != 0) {
    args.push_back("--port");
    args.push_back(std::to_string(options.port));
  }
  args.insert(args.end(), options.args.begin(), options.args.end());
  if (!options.server_root.empty()) args.push_back(options.server_root);

  std::vector<std::pair<std::string, std::string>> overrides = options.env;
  if (!options.registry.empty()) overrides.emplace_back("TALLYPAD_REGISTRY", options.registry);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry = *e;
    std::string_view name = entry.substr(0, entry.find('='));
    // The program must never open the tester's own browser: the variables
    // that name one are passed only when a test sets them.
    bool replaced = name == "BROWSER" || name == "DISPLAY" || name == "WAYLAND_DISPLAY";
    for (const auto& [key, value] : overrides) replaced = replaced || name == key;
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [key, value] : overrides) env.push_back(key + "=" + value);

  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string out = capture_.File("stdout.txt");
  std::string err = capture_.File("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!options.working_dir.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.working_dir.c_str());
  pid_t pid = -1;
  int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  status_.reset();
  return true;
}

std::optional<int> ServerProcess::StartServing(const Options& options, int timeout_ms) {
  if (!Start(options)) return std::nullopt;
  if (!WaitForOutput(kRunningLine, timeout_ms)) return std::nullopt;
  // The line is written whole; wait for its end all the same.
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!RunningPort() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return RunningPort();
}

bool ServerProcess::WaitForOutput(std::string_view text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (Output().find(text) != std::string::npos) return true;
    if (!Running()) return Output().find(text) != std::string::npos;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::optional<int> ServerProcess::RunningPort() const {
  std::string out = Output();
  size_t at = out.find(kRunningLine);
  if (at == std::string::npos) return std::nullopt;
  size_t end = out.find('\n', at);
  if (end == std::string::npos) return std::nullopt;
  std::string line = out.substr(at + kRunningLine.size(), end - at - kRunningLine.size());
  size_t colon = line.rfind(':');
  std::string digits = colon == std::string::npos ? line : line.substr(colon + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoi(digits);
}

std::string ServerProcess::Output() const { return ReadFileText(capture_.File("stdout.txt")); }

std::string ServerProcess::Errors() const { return ReadFileText(capture_.File("stderr.txt")); }

bool ServerProcess::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = ExitStatusOf(status);
    return false;
  }
  return r == 0;
}

std::optional<int> ServerProcess::WaitExit(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Running()) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status_;
}

int ServerProcess::Stop(int signal, int timeout_ms) {
  if (Running()) ::kill(pid_, signal);
  std::optional<int> status = WaitExit(timeout_ms);
  if (status) return *status;
  ::kill(pid_, SIGKILL);
  WaitExit(timeout_ms);
  return -1;
}

}  // namespace tallypad::testing
