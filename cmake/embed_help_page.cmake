# Writes OUTPUT, a C++ source file that builds the file INPUT into the
# program: the function BuiltInErrorHelpPage (src/app/help_page.h) returns
# its bytes. Run at build time (cmake -P), so the program always carries the
# page as the demo's help/cgi/kqs/error.html has it.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
# Twenty bytes to a line keep the generated file readable.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){20})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by cmake/embed_help_page.cmake; do not edit.
#include \"app/help_page.h\"

namespace tallypad {

namespace {

constexpr unsigned char kPage[] = {
    ${bytes}
};

}  // namespace

std::string_view BuiltInErrorHelpPage() {
  return std::string_view(reinterpret_cast<const char*>(kPage), sizeof kPage);
}

}  // namespace tallypad
")
# Replaced only when it changed, so an unchanged page rebuilds nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
