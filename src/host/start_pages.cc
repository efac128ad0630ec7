#include "host/start_pages.h"

namespace tallypad {

void StartPagesScan(const std::string& server_root, const std::string& start_path,
                    StartPageTable* table) {
  for (StartPage& page : *table) page = StartPage{};
  StartPage& built_in = (*table)[0];
  built_in.in_use = true;
  built_in.title = kBuiltInStartPageTitle;
  built_in.description = start_path;
  built_in.config_path = start_path;
  built_in.link = start_path;
}

}  // namespace tallypad
