// What a path inside a bundle, and a link's target, may be for a delta
// update: the installer refuses a manifest that breaks these rules, and the
// release tool refuses a bundle that would need one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace installer {

// What is wrong with `path` ("/"-separated, relative to the bundle), as a
// phrase that follows it: "is empty", "holds a NUL byte", "is absolute",
// "has an empty component", "has a \".\" or \"..\" component". Nothing when
// it is a path of the bundle.
std::optional<std::string> path_fault(std::string_view path);

// What is wrong with `target`, the target of the link at `link` (a path of
// the bundle), as a phrase that follows the link: "has an empty target",
// "has a target holding a NUL byte", "has an absolute target", "has a target
// above the bundle", "has a target that climbs after a name". The target is
// judged on its text, from the link's own directory; ".." may only lead it,
// since after a name, which may itself be a link, ".." would climb from
// wherever that link points rather than from where the name stands.
std::optional<std::string> link_target_fault(std::string_view link, std::string_view target);

}  // namespace installer
