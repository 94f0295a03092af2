#pragma once

#include <string>

// Where the program keeps List.xml.
//
// A copy run from where it was built or unpacked keeps its list beside the
// executable. The installed copy, whose executable sits in the bin folder the
// build was configured to install into, keeps it in the user's data folder
// instead: that bin folder is shared by every user (and root could write it),
// so a list there would be everybody's or nobody's. The decision follows the
// location alone, never write permission.
struct ListPlaces {
    std::string executableDir;   // the folder of the running executable
    std::string installedBinDir; // the bin folder compiled in at configure time
    std::string dataDir;         // the user's data folder for the program
};

// The folder that holds List.xml; the folders are compared after lexical
// normalisation ("/usr/bin/" and "/usr//bin" are "/usr/bin").
std::string ListFolder(const ListPlaces& places);

// Creates the folder and any missing parents, each readable by its owner
// only. Folders that exist are left as they are. Throws AppError naming the
// folder and the reason when one cannot be made, or when the folder is not
// the effective user's own or its group or others can write it.
void CreateOwnerOnlyFolder(const std::string& folder);

// The file that `path` names, found once and used from then on: a symbolic
// link in its place is followed to its target (through every link of a
// chain) and the target's folder is made canonical, so that the lock, the
// hand-over socket and every save meet the one real file however the program
// reached it, and a save replaces the target, never the link. The target
// need not exist yet, its folder must: a link whose target's folder does not
// exist, or a circle of links, throws AppError naming the target.
std::string ResolveListFile(const std::string& path);

// The folder of the hand-over socket between two starts on one list, which
// must be the user's alone: in a folder that others can write, another user
// could take the socket's name first. The user's runtime folder when it is
// the user's own and no one else can write it, otherwise the owner-only
// folder "sockets" in the data folder, created as CreateOwnerOnlyFolder
// does. Throws AppError as that does.
std::string HandOverFolder(const std::string& runtimeDir, const std::string& dataDir);

// The full path of List.xml for the running program: the installed bin folder
// is resolved through symbolic links before the comparison, a data folder
// chosen for the list is created, and the result is resolved as above.
std::string ListPath(const ListPlaces& places);
