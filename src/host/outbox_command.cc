#include "host/outbox_command.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "base/text.h"
#include "base/utf8_cut.h"
#include "host/host.h"
#include "mail/outbox_list.h"
#include "platform/registry.h"

namespace tallypad {

namespace {

constexpr const char* kUsage =
    "Usage: tallypad outbox [--retry] [SERVER_ROOT]\n"
    "Lists the mails waiting in the outbox of SERVER_ROOT (default: the registry's\n"
    "ServerRoot, else the current directory) and its dead letters.\n"
    "\n"
    "  --retry      move the dead letters back into the queue, to be sent again\n";

// Characters of a recipient, a subject and a reply shown in one row.
constexpr size_t kRecipientWidth = 32;
constexpr size_t kSubjectWidth = 32;
constexpr size_t kReplyWidth = 160;

std::string Cut(const std::string& text, size_t width) {
  std::string cut = Utf8CutToCharacters(text, width);
  return cut.size() < text.size() ? cut + "..." : cut;
}

std::string LocalTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return StrPrintf("%04d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                   local.tm_mday, local.tm_hour, local.tm_min);
}

void PrintEntry(const OutboxEntry& e, std::time_t now, bool dead) {
  std::string age = e.date ? OutboxAgeText(now - *e.date) : "?";
  std::printf("  %-*s  %-*s  %6s", static_cast<int>(kRecipientWidth),
              Cut(e.recipient, kRecipientWidth).c_str(), static_cast<int>(kSubjectWidth),
              Cut(e.subject, kSubjectWidth).c_str(), age.c_str());
  if (!dead) std::printf("  %8d", e.attempts);
  std::printf("  %s\n", Cut(e.last_reply.empty() ? "-" : e.last_reply, kReplyWidth).c_str());
}

void PrintListing(const std::string& root) {
  const OutboxListing listing = OutboxList(root);
  const std::time_t now = std::time(nullptr);
  std::printf("Outbox of %s\n", root.c_str());
  if (listing.last_success) {
    std::printf("Last mail sent: %s (%s ago)\n", LocalTime(*listing.last_success).c_str(),
                OutboxAgeText(now - *listing.last_success).c_str());
  } else {
    std::printf("Last mail sent: none recorded\n");
  }
  std::printf("\nWaiting: %zu mail%s\n", listing.queued_total, listing.queued_total == 1 ? "" : "s");
  if (!listing.queued.empty()) {
    std::printf("  %-*s  %-*s  %6s  %8s  %s\n", static_cast<int>(kRecipientWidth), "To",
                static_cast<int>(kSubjectWidth), "Subject", "Age", "Attempts", "Last reply");
    for (const OutboxEntry& e : listing.queued) PrintEntry(e, now, false);
  }
  if (listing.queued_total > listing.queued.size())
    std::printf("  ... and %zu more\n", listing.queued_total - listing.queued.size());
  if (listing.damaged)
    std::printf("  outbox.kqs is damaged after these mails: the rest cannot be read\n");
  std::printf("\nDead letters: %zu mail%s\n", listing.dead_total, listing.dead_total == 1 ? "" : "s");
  if (!listing.dead.empty()) {
    std::printf("  %-*s  %-*s  %6s  %s\n", static_cast<int>(kRecipientWidth), "To",
                static_cast<int>(kSubjectWidth), "Subject", "Age", "Reply");
    for (const OutboxEntry& e : listing.dead) PrintEntry(e, now, true);
  }
  if (listing.dead_total > listing.dead.size())
    std::printf("  ... and %zu more\n", listing.dead_total - listing.dead.size());
  if (listing.dead_total > 0)
    std::printf("\"tallypad outbox --retry\" moves the dead letters back into the queue.\n");
}

std::string CurrentDirectory() {
  std::error_code error;
  std::filesystem::path cwd = std::filesystem::current_path(error);
  return error ? std::string() : cwd.string();
}

}  // namespace

int OutboxCommand(int argc, char** argv) {
  bool retry = false;
  std::optional<std::string> root_argument;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--retry") {
      retry = true;
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "tallypad outbox: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    } else if (root_argument) {
      std::fprintf(stderr, "tallypad outbox: only one server root may be given\n%s", kUsage);
      return 2;
    } else {
      root_argument = std::string(arg);
    }
  }
  std::optional<std::string> registry_root;
  if (!root_argument)
    registry_root = RegistryGetString(RegistryRoot::kLocalMachine, kServerKey, "ServerRoot");
  const std::string root = ResolveServerRoot(root_argument, registry_root, CurrentDirectory());
  if (!std::filesystem::is_directory(root)) {
    std::fprintf(stderr, "tallypad outbox: %s is no folder\n", root.c_str());
    return 2;
  }
  if (retry) {
    std::optional<size_t> moved = OutboxRetryDead(root);
    if (!moved) {
      std::fprintf(stderr,
                   "tallypad outbox: the dead letters could not be moved (the outbox is busy or "
                   "cannot be written); nothing was changed\n");
      return 1;
    }
    std::printf("Moved %zu dead letter%s back into the queue; a running server sends %s with "
                "its next attempt.\n\n",
                *moved, *moved == 1 ? "" : "s", *moved == 1 ? "it" : "them");
  }
  PrintListing(root);
  return 0;
}

}  // namespace tallypad
