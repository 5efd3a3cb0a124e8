// The network browse lists: workgroups and domains, and the computers of each. Names are UTF-8.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct TNetWorkgroup {
    std::string name;
    std::vector<std::string> computers;
};

struct TNetBrowseList {
    std::vector<TNetWorkgroup> workgroups;
    // Empty when the network could be asked; otherwise why not (partial lists stay in workgroups).
    std::string error;
};

// Asks the master browsers (this broadcasts). Never prompts: the browse runs anonymously.
// With withComputers false the computers are not listed. Blocking; safe off the main thread
// when no other browse runs at the same time.
TNetBrowseList BrowseNetworkList(bool withComputers);

}  // namespace platform
