#include "transfer/typed_name.h"

namespace transfer {

std::string CheckTypedName(std::string_view Name) {
  if (Name.empty()) return "Please type a name.";
  if (Name == "." || Name == "..")
    return "\"" + std::string(Name) + "\" cannot be used as a name: it stands for a folder that is already there.";
  if (Name.find('/') != std::string_view::npos)
    return "A name cannot hold \"/\": the server would take it for a path to another folder.";
  if (Name.find_first_of("\r\n") != std::string_view::npos)
    return "A name cannot hold a line break: it would end the command sent to the server.";
  if (Name.find('\0') != std::string_view::npos) return "A name cannot hold a NUL character.";
  return {};
}

}  // namespace transfer
