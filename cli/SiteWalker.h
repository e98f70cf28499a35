// Finding the HTML documents of a site.
#pragma once

#include <string>
#include <vector>

namespace tamarind::cli {

// Whether a name is an HTML document's: it ends in .html or .htm, in any
// letter case.
bool IsHtmlName(const std::string& name);

// Every HTML document below `folder`, in a stable order: each folder's
// entries sorted byte by byte, subfolders walked where they sort. Hidden files and folders
// (names beginning with ".") are passed over, and a folder reached twice
// through symbolic links is walked once, so link loops end. Folders that
// cannot be read are reported in `problems` as "PATH: MESSAGE".
void CollectDocuments(const std::string& folder, std::vector<std::string>& documents,
                      std::vector<std::string>& problems);

}  // namespace tamarind::cli
