#include "app/router.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "app/help_page.h"
#include "app/outbox_page.h"
#include "app/private_files.h"
#include "base/decode.h"
#include "base/file.h"
#include "base/read.h"
#include "base/result_code.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "base/utf8_cut.h"
#include "cgi/kqs/survey.h"
#include "cgi/list/list_viewer.h"
#include "httpd/host_names.h"
#include "httpd/response_header.h"
#include "platform/file_identity.h"
#include "platform/open_beneath.h"
#include "script/template.h"

namespace tallypad {

namespace {

constexpr std::string_view kCopyrightNotice = "Copyright &copy; Velkorn. All rights reserved.\r\n";
// Longest piece of a refused path quoted in the message log.
constexpr size_t kLoggedPathLimit = 200;

// Everything one request carries through the routing steps.
struct Request {
  const RouterContext& ctx;
  Connection& conn;
  OutputStream out;
  VarTable* vars;
  std::string path;  // without its leading '/' and its query
  const RequestInfo& info;
  bool home = false;  // the request asked for the server's home page ("/")
};

// ---- Content types -------------------------------------------------------

struct ContentTypeRow {
  std::string_view pattern;
  std::string_view header;
};

// Matched anywhere in the path, in this order.
constexpr ContentTypeRow kContainedTypes[] = {
    {".gif", "Content-type: image/gif\n\n"},
    {".jpg", "Content-type: image/jpeg\n\n"},
    {".pdf", "Content-type: application/pdf\n\n"},
};

// Matched against the file's extension: the types a browser insists on for
// a survey's own style sheets, scripts, images and fonts.
constexpr ContentTypeRow kExtensionTypes[] = {
    {".css", "Content-type: text/css\n\n"},
    {".js", "Content-type: text/javascript\n\n"},
    {".png", "Content-type: image/png\n\n"},
    {".jpeg", "Content-type: image/jpeg\n\n"},
    {".svg", "Content-type: image/svg+xml\n\n"},
    {".ico", "Content-type: image/x-icon\n\n"},
    {".webp", "Content-type: image/webp\n\n"},
    {".json", "Content-type: application/json\n\n"},
    {".htm", "Content-type: text/html; charset=utf-8\n\n"},
    {".woff2", "Content-type: font/woff2\n\n"},
};

constexpr std::string_view kPlainTextHeader = "Content-type: text/plain\n\n";

std::string_view Extension(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

// ---- Refusals while reading ------------------------------------------------

// Quotes a path for the message log: control bytes as %XX, cut when long.
std::string LoggablePath(std::string_view path) {
  std::string out;
  for (char c : path.substr(0, kLoggedPathLimit)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      out += StrPrintf("%%%02X", u);
    } else {
      out += c;
    }
  }
  if (path.size() > kLoggedPathLimit) out += "...";
  return out;
}

// Answers with a status of its own and a one-line plain-text body.
void Refuse(Request& r, std::string_view status, std::string_view line) {
  StreamWriteText(&r.out, StrPrintf("HTTP/1.1 %.*s\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                                    "Content-Length: %zu\r\n\r\n",
                                    static_cast<int>(status.size()), status.data(), line.size()));
  StreamWriteText(&r.out, line);
}

// ---- The file step -------------------------------------------------------

// What the router keeps for a server root between requests: the root
// folder, open, beneath which every file is opened, and its private files.
class RootFiles {
 public:
  explicit RootFiles(std::string root) : root_(std::move(root)), private_files_(root_) {}

  // The open root folder; opened again when the root was replaced (looked
  // at no more than once per kPrivateFilesCheckInterval).
  int Folder() {
    const auto now = std::chrono::steady_clock::now();
    if (!folder_.valid() || now - checked_ >= kPrivateFilesCheckInterval) {
      checked_ = now;
      std::optional<FileIdentity> identity = FileIdentityAt(root_);
      if (!folder_.valid() || identity != identity_) {
        folder_.reset(::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        identity_ = identity;
      }
    }
    return folder_.get();
  }
  PrivateFileSet& private_files() { return private_files_; }

 private:
  std::string root_;
  PrivateFileSet private_files_;
  UniqueFd folder_;
  std::optional<FileIdentity> identity_;
  std::chrono::steady_clock::time_point checked_{};
};

// The root files of `server_root`, made on first use and kept.
RootFiles& FilesOf(const std::string& server_root) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::unique_ptr<RootFiles>> roots;
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<RootFiles>& files = roots[server_root];
  if (!files) files = std::make_unique<RootFiles>(server_root);
  return *files;
}

void LogLinkOutsideRoot(std::string_view path) {
  StatusLogAppend("\nRefused a link leading outside the server root: " + LoggablePath(path));
}

// A file of the server root, open, with what is known of it.
struct RootFile {
  UniqueFd fd;
  struct stat st {};
  std::string real_path;  // where it really lies, when that had to be found out
};

// Opens `path` (relative, already checked by PathStaysInRoot) for serving:
// only a regular file that really lies inside the root, whatever links lead
// there. The kernel resolves the name beneath the root folder in the same
// call that opens it; only an absolute link (or a system that cannot do
// that) makes the router follow the links itself and check where they led.
// Nullopt when there is no such file; a file outside the root is logged.
std::optional<RootFile> OpenRootFile(const Request& r, std::string_view path) {
  RootFile file;
  const std::string name(path);
  RootFiles& root = FilesOf(r.ctx.server_root);
  BeneathResult opened = OpenBeneath(root.Folder(), name, &file.fd);
  if (opened == BeneathResult::kMissing) return std::nullopt;
  if (opened != BeneathResult::kOpened) {
    const std::string full = PathBuild(r.ctx.server_root, name);
    file.fd.reset(::open(full.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.fd.valid()) return std::nullopt;
    std::optional<std::string> real_root = RealPath(r.ctx.server_root);
    std::optional<OpenedFile> described = DescribeOpenFile(file.fd.get(), full);
    if (!real_root || !described || !PathIsInside(described->real_path, *real_root)) {
      LogLinkOutsideRoot(path);
      return std::nullopt;
    }
    file.real_path = described->real_path;
  }
  // Only regular files: a folder has nothing to send, and a pipe or device
  // would never end.
  if (::fstat(file.fd.get(), &file.st) != 0 || !S_ISREG(file.st.st_mode)) return std::nullopt;
  return file;
}

// Sends a page whose path contains ".html" with the default header, run
// through the template processor with the request variables, so that every
// page of the server root can use the template language. The page is read
// from the file that was opened and checked.
void ServeTemplatePage(Request& r, const RootFile& file) {
  const std::string text = ReadPageFromFd(file.fd.get(), static_cast<uint64_t>(file.st.st_size));
  PageReader page(text);
  WriteResponseHeader(&r.out);
  TemplateProcess({.base_path = r.ctx.server_root,
                   .out = &r.out,
                   .page = &page,
                   .vars = r.vars,
                   .name = r.path,
                   .author_view = r.info.FromThisMachine()});
}

// Answers a path that names no file with status 404 (browsers, caches and
// link checkers go by it): the error page when `ERROR` names one that
// opens, else the menu page. The home page falls back to the menu with
// status 200: the menu is then the home page.
void ServeMissing(Request& r) {
  if (r.home) {
    WriteResponseHeader(&r.out);
  } else {
    WriteNotFoundHeader(&r.out);
  }
  std::string error = VarTableGet(r.ctx.settings, "ERROR");
  if (!error.empty() && error != "quit") {
    // The error page is named relative to the server root, like a request path.
    std::string_view name = error;
    if (name.front() == '/' || name.front() == '\\') name.remove_prefix(1);
    // Only where the page leads is checked, not whether it is a form's
    // private file: the page is named by the server's own settings.
    if (!name.empty() && PathStaysInRoot(name)) {
      if (std::optional<RootFile> page = OpenRootFile(r, name)) {
        StreamWriteText(&r.out, ReadPageFromFd(page->fd.get(),
                                               static_cast<uint64_t>(page->st.st_size),
                                               std::numeric_limits<size_t>::max()));
        return;
      }
    }
  }
  WriteMenuPage(&r.out, r.ctx);
}

// Serves the file the path names: one open, one look at it, and the file
// sent straight from the file system (a template page processed).
void ServeFile(Request& r) {
  if (!PathStaysInRoot(r.path)) {
    StatusLogAppend("\nRefused a path outside the server root: " + LoggablePath(r.path));
    ServeMissing(r);
    return;
  }
  std::optional<RootFile> file;
  if (!r.path.empty()) file = OpenRootFile(r, r.path);
  if (!file) {
    ServeMissing(r);
    return;
  }
  // The check is made on the file that was opened: a link under a harmless
  // name is the file it leads to.
  const FileIdentity identity{static_cast<uint64_t>(file->st.st_dev),
                              static_cast<uint64_t>(file->st.st_ino)};
  if (FilesOf(r.ctx.server_root).private_files().Holds(r.path, file->real_path, identity)) {
    // Settings, answers and report templates are read through the engines,
    // which ask for the passwords; the files themselves are never sent.
    StatusLogAppend("\nRefused a form's private file: " + LoggablePath(r.path));
    ServeMissing(r);
    return;
  }
  if (StrFindNoCase(r.path, ".html")) {
    ServeTemplatePage(r, *file);
    return;
  }
  WriteResponseHeader(&r.out, ContentTypeHeader(r.path));
  const uint64_t size = static_cast<uint64_t>(file->st.st_size);
  ConnSendFile(&r.conn, std::move(file->fd), size);
}

// ---- Routes --------------------------------------------------------------

int RouteSurvey(Request& r) {
  if (r.ctx.survey_engine) return r.ctx.survey_engine(r.ctx.server_root, r.vars, &r.out, r.info);
  return SurveyDispatch(r.ctx.server_root, r.vars, &r.out, r.info);
}

int RouteList(Request& r) {
  if (r.ctx.list_engine) return r.ctx.list_engine(r.ctx.server_root, r.vars, &r.out, r.info);
  return ListDispatch(r.ctx.server_root, r.vars, &r.out, r.info);
}

// The error-code help page: the server root's own copy when it has one,
// else the copy built into the program.
int RouteErrorHelp(Request& r) {
  if (OpenRootFile(r, r.path)) {
    ServeFile(r);
  } else {
    WriteResponseHeader(&r.out);
    StreamWriteText(&r.out, BuiltInErrorHelpPage());
  }
  return ResultNumber(ResultCode::kOk);
}

int RouteQuit(Request& r) {
  if (!ServerModeInfo(r.ctx.mode).serves_quit) {
    ServeFile(r);
    return ResultNumber(ResultCode::kOk);
  }
  WriteResponseHeader(&r.out);
  StreamWriteText(&r.out, "Exiting.");
  if (r.ctx.close_window) r.ctx.close_window();
  return ResultNumber(ResultCode::kOk);
}

int RouteOutbox(Request& r) {
  ServeOutboxPage(&r.out, r.ctx.server_root, r.conn.request, r.vars, r.ctx.settings, r.info);
  return ResultNumber(ResultCode::kOk);
}

struct Route {
  std::string_view path;  // compared exactly, case included
  int (*serve)(Request& r);
};

// Paths with a route of their own; every other path is a file.
constexpr Route kRoutes[] = {
    {"kqs", RouteSurvey},   {"kqs.exe", RouteSurvey},   {"kqs.cgi", RouteSurvey},
    {"kqs.dll", RouteSurvey}, {"list", RouteList},      {"list.exe", RouteList},
    {"list.cgi", RouteList},  {"list.dll", RouteList},  {"quit", RouteQuit},
    {kErrorHelpPagePath, RouteErrorHelp},
    {"outbox", RouteOutbox},
};

int Dispatch(Request& r) {
  for (const Route& route : kRoutes)
    if (r.path == route.path) return route.serve(r);
  ServeFile(r);
  return ResultNumber(ResultCode::kOk);
}

// ---- Splitting and variables ---------------------------------------------

// Turns the raw request path into the file path: an empty or one-character
// path becomes the `HOME` page ("" without settings), any other loses its
// first character. The query after the first '?' goes to `*query`.
std::string FilePathOf(std::string_view raw, const VarTable* settings,
                       std::optional<std::string>* query) {
  std::string path;
  if (raw.size() <= 1) {
    path = settings ? VarTableGet(settings, "HOME", "index.html") : "";
  } else {
    path = std::string(raw.substr(1));
  }
  size_t mark = path.find('?');
  if (mark != std::string::npos) {
    *query = path.substr(mark + 1);
    path.resize(mark);
  }
  return path;
}

// Names that only the server and the engines set, compared without case:
// the reserved HOST, DATE and TIME, the warning a page script or the answer
// checks leave for the page to show (pages show it unescaped, as authors
// write it with markup) and the progress of a multi-page form. A request
// field of such a name, or beginning with a prefix of them (the warning of
// one field), is dropped, never joined or shown.
constexpr std::string_view kServerOnlyVariables[] = {"HOST",      "DATE",        "TIME",
                                                     "_PAGEWARN", "_PAGENUMBER", "_PAGECOUNT"};
constexpr std::string_view kServerOnlyPrefixes[] = {"_PAGEWARN_"};

// Decodes the query of a GET or the body of a POST into the request
// variables, leaving out the server's own names. Returns false, with
// `*vars` null, when the request carries more than `max_fields` fields.
bool BuildVariables(const RequestLine& line, const std::optional<std::string>& query,
                    size_t max_fields, VarTablePtr* vars) {
  FormFieldRules rules;
  rules.max_fields = max_fields;
  rules.dropped = kServerOnlyVariables;
  rules.dropped_prefixes = kServerOnlyPrefixes;
  std::optional<std::string_view> data;
  if (line.method == "GET" && query) {
    data = *query;
  } else if (line.method == "POST") {
    // The query of a POST is ignored: the body carries the fields.
    if (std::optional<size_t> body = BodyStart(line.rest)) data = line.rest.substr(*body);
  }
  if (data && FormDecodeFields(kReservedRequestVariables, *data, kFreeRequestVariables, rules,
                               vars) == FormFieldsResult::kTooManyFields)
    return false;
  if (!*vars) *vars = VarTableNew(kReservedRequestVariables);
  return true;
}

void FillReservedVariables(VarTable* vars, Connection& conn, const VarTable* settings) {
  // The reverse look-up is only needed when the device has no name of its own.
  std::string host = VarTableGet(settings, "DEVICEID");
  if (host.empty()) host = ProcessHostNames().NameOf(ntohl(conn.client.sin_addr.s_addr));
  std::string date, time;
  FormatDateTime(&date, &time);
  vars->entries[0] = VarEntry{std::string("HOST"), std::move(host)};
  vars->entries[1] = VarEntry{std::string("DATE"), std::move(date)};
  vars->entries[2] = VarEntry{std::string("TIME"), std::move(time)};
}

RequestInfo MakeRequestInfo(const RouterContext& ctx, const Connection& conn,
                            std::string_view text) {
  RequestInfo info;
  info.server_address = ctx.server_address;
  if (std::optional<std::string_view> host = HeaderValue(text, "Host"))
    info.host_header = std::string(*host);
  info.client_address = ntohl(conn.client.sin_addr.s_addr);
  char dotted[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &conn.client.sin_addr, dotted, sizeof dotted);
  info.client_ip = dotted;
  info.socket_fd = conn.socket.get();
  info.extra_host_names = VarTableGet(ctx.settings, "HOSTNAMES");
  info.this_machine = ctx.this_machine;
  return info;
}

}  // namespace

bool PathStaysInRoot(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return false;
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return false;
  if (path.size() >= 2 && path[1] == ':') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string_view ContentTypeHeader(std::string_view path) {
  for (const ContentTypeRow& row : kContainedTypes)
    if (StrFindNoCase(path, row.pattern)) return row.header;
  std::string_view extension = Extension(path);
  for (const ContentTypeRow& row : kExtensionTypes)
    if (StrEqualNoCase(extension, row.pattern)) return row.header;
  return kPlainTextHeader;
}

void WriteMenuPage(OutputStream* out, const RouterContext& ctx) {
  StreamWriteText(out, "<P>Tallypad Personal Server\r\n");
  StreamWriteText(out, kCopyrightNotice);
  StreamWriteText(out, "<P>");
  if (ctx.start_pages) {
    // The built-in first entry is the home page itself and is not listed.
    for (size_t i = 1; i < ctx.start_pages->size(); ++i) {
      const StartPage& page = (*ctx.start_pages)[i];
      if (!page.in_use) break;
      StreamWriteText(out, "&nbsp;<a href=\"");
      StreamWriteText(out, Utf8CutToBytes(page.link, kMenuTextLimit));
      StreamWriteText(out, "\">");
      StreamWriteText(out, Utf8CutToBytes(page.title, kMenuTextLimit));
      StreamWriteText(out, "</a> ");
      StreamWriteText(out, Utf8CutToBytes(page.description, kMenuTextLimit));
      StreamWriteText(out, "<br>");
    }
  }
  if (ctx.mode == ServerMode::kPreview && ctx.settings &&
      VarTableGet(ctx.settings, "ERROR") == "quit")
    StreamWriteText(out, "<P><a href=/quit>Quit</a>");
}

int HandleRequest(Connection& conn, const RouterContext& ctx) {
  // The window shows only the messages of the latest request.
  StatusLogRequestClear();

  const std::string& text = conn.request;
  RequestLine line = SplitRequestLine(text);
  std::optional<std::string> query;
  std::string path = FilePathOf(line.path, ctx.settings, &query);
  VarTablePtr vars;
  const bool fields_fit = BuildVariables(line, query, ctx.limits.max_fields, &vars);
  RequestInfo info = MakeRequestInfo(ctx, conn, text);
  const bool home = line.path.substr(0, line.path.find('?')).size() <= 1;
  Request r{ctx, conn, OutputStream{&conn, nullptr, nullptr}, vars.get(), std::move(path), info,
            home};
  if (!fields_fit) {
    Refuse(r, "413 Payload Too Large",
           StrPrintf("The request has more than %zu fields.\n", ctx.limits.max_fields));
    StatusLogAppend(
        StrPrintf("\nRefused a request with more than %zu fields.", ctx.limits.max_fields));
    return ResultNumber(ResultCode::kOk);
  }
  FillReservedVariables(vars.get(), conn, ctx.settings);
  return Dispatch(r);
}

}  // namespace tallypad
