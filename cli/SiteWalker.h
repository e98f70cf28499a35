// Finding the HTML documents of a site.
#pragma once

#include <string>
#include <vector>

namespace tamarind::cli {

// Whether a name is an HTML document's: it ends in .html or .htm, in any
// letter case.
bool IsHtmlName(const std::string& name);

// How a walk treats symbolic links below the folder it was given (the
// folder itself is always followed).
enum class Links { Skip, Follow };

// Every HTML document below `folder`, in a stable order: each folder's
// entries sorted byte by byte, subfolders walked where they sort. Hidden
// files and folders (names beginning with ".") are passed over. Symbolic
// links, to folders or to files, are passed over too unless `links` is
// Follow, so that a walk stays inside the folder given; when followed, a
// folder reached twice is walked once, so link loops end. Folders that
// cannot be read are reported in `problems` as "PATH: MESSAGE". The
// journals of interrupted writes met on the way (hidden, and never
// documents) go to `journals`, when given.
void CollectDocuments(const std::string& folder, std::vector<std::string>& documents,
                      std::vector<std::string>& problems, Links links = Links::Skip,
                      std::vector<std::string>* journals = nullptr);

}  // namespace tamarind::cli
