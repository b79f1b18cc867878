// The server path of a node of the remote tree.
#pragma once

#include <string>
#include <vector>

namespace transfer {

// nodeTexts: the texts of the nodes from the root's child (level 1) down to
// the selected node; empty for the root itself. The root's text (the host
// name) is never part of the path: {} gives "/", {"pub", "linux", "kernel"}
// gives "/pub/linux/kernel".
std::string RemoteDirPath(const std::vector<std::string>& nodeTexts);

// The other way: the node names down to a server path ("/pub//linux/" gives
// {"pub", "linux"}; "/" and "" give none).
std::vector<std::string> RemotePathNames(const std::string& path);

}  // namespace transfer
