#include "app/router.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>

#include "app/private_files.h"
#include "base/decode.h"
#include "base/file.h"
#include "base/read.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "base/utf8_cut.h"
#include "cgi/kqs/survey.h"
#include "cgi/list/list_viewer.h"
#include "httpd/host_names.h"
#include "httpd/response_header.h"
#include "platform/file_identity.h"
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

// Sends a page whose path contains ".html" with the default header, run
// through the template processor with the request variables, so that every
// page of the server root can use the template language. The page is read
// from the file that was opened and checked.
int ServeTemplatePage(Request& r, std::FILE* file) {
  const std::string text = ReadPageText(file);
  PageReader page(text);
  WriteResponseHeader(&r.out);
  TemplateProcess({.base_path = r.ctx.server_root,
                   .out = &r.out,
                   .page = &page,
                   .vars = r.vars,
                   .name = r.path});
  return 0;
}

// Describes `file`, opened by the name `name`, when it really lies inside
// the server root: symbolic links (of the file or of any folder on its way,
// the root's own included) are followed to where they lead, and the answer
// is taken from the open file, not from a second look-up of the name.
// Nullopt when it lies elsewhere or where it lies cannot be told.
std::optional<OpenedFile> OpenedInsideRoot(const std::string& server_root, std::FILE* file,
                                           const std::string& name) {
  std::optional<std::string> root = RealPath(server_root);
  std::optional<OpenedFile> opened = DescribeOpenFile(fileno(file), name);
  if (!root || !opened || !PathIsInside(opened->real_path, *root)) return std::nullopt;
  return opened;
}

void LogLinkOutsideRoot(std::string_view path) {
  StatusLogAppend("\nRefused a link leading outside the server root: " + LoggablePath(path));
}

// Answers a path that names no file with status 404 (browsers, caches and
// link checkers go by it): the error page when `ERROR` names one that
// opens, else the menu page. The home page falls back to the menu with
// status 200: the menu is then the home page.
int ServeMissing(Request& r) {
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
    if (!name.empty() && PathStaysInRoot(name)) {
      const std::string full = PathBuild(r.ctx.server_root, name);
      FilePtr page = FileOpen(full, "rb");
      // Only where the page leads is checked, not whether it is a form's
      // private file: that reads every form's settings, too much for each
      // missing file, and the page is named by the server's own settings.
      if (page && !OpenedInsideRoot(r.ctx.server_root, page.get(), full)) {
        LogLinkOutsideRoot(name);
        page.reset();
      }
      if (page) {
        StreamCopyFile(&r.out, page.get());
        return 0;
      }
    }
  }
  WriteMenuPage(&r.out, r.ctx);
  return 0;
}

int ServeFile(Request& r) {
  if (!PathStaysInRoot(r.path)) {
    StatusLogAppend("\nRefused a path outside the server root: " + LoggablePath(r.path));
    return ServeMissing(r);
  }
  FilePtr file;
  std::string full;
  if (!r.path.empty()) {
    full = PathBuild(r.ctx.server_root, r.path);
    file = FileOpen(full, "rb");
  }
  if (!file) return ServeMissing(r);
  // Both checks are made on the file that was opened: a link under a
  // harmless name is the file it leads to.
  std::optional<OpenedFile> opened = OpenedInsideRoot(r.ctx.server_root, file.get(), full);
  if (!opened) {
    LogLinkOutsideRoot(r.path);
    return ServeMissing(r);
  }
  // Checked only for a file that exists: the check reads the forms' settings.
  if (IsPrivateFormFile(r.ctx.server_root, r.path, *opened)) {
    // Settings, answers and report templates are read through the engines,
    // which ask for the passwords; the files themselves are never sent.
    StatusLogAppend("\nRefused a form's private file: " + LoggablePath(r.path));
    return ServeMissing(r);
  }
  if (StrFindNoCase(r.path, ".html")) return ServeTemplatePage(r, file.get());
  WriteResponseHeader(&r.out, ContentTypeHeader(r.path));
  // The file goes to the client straight from the file system.
  struct stat st;
  const uint64_t size =
      ::fstat(::fileno(file.get()), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  ConnSendFile(&r.conn, std::move(file), size);
  return 0;
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

int RouteQuit(Request& r) {
  if (!ServerModeInfo(r.ctx.mode).serves_quit) return ServeFile(r);
  WriteResponseHeader(&r.out);
  StreamWriteText(&r.out, "Exiting.");
  if (r.ctx.close_window) r.ctx.close_window();
  return 0;
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
};

int Dispatch(Request& r) {
  for (const Route& route : kRoutes)
    if (r.path == route.path) return route.serve(r);
  return ServeFile(r);
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
// the reserved HOST, DATE and TIME, and the warning a page script leaves
// for the page to show (pages show it unescaped, as authors write it with
// markup). A request field of such a name is dropped, never joined or shown.
constexpr std::string_view kServerOnlyVariables[] = {"HOST", "DATE", "TIME", "_PAGEWARN"};

// Decodes the query of a GET or the body of a POST into the request
// variables, leaving out the server's own names. Returns false, with
// `*vars` null, when the request carries more than `max_fields` fields.
bool BuildVariables(const RequestLine& line, const std::optional<std::string>& query,
                    size_t max_fields, VarTablePtr* vars) {
  FormFieldRules rules;
  rules.max_fields = max_fields;
  rules.dropped = kServerOnlyVariables;
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
    return 0;
  }
  FillReservedVariables(vars.get(), conn, ctx.settings);
  return Dispatch(r);
}

}  // namespace tallypad
