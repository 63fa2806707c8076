// Classes whose members are defined in several files: each file gives a
// group (a PyMethodDef or PyGetSetDef array ended by a null entry), and the
// class joins its groups into one array when it is first made.
#pragma once

#include <cstddef>
#include <vector>

#include "python.hpp"

namespace deziro::binding {

using MethodGroup = const PyMethodDef* (*)();
using GetSetGroup = const PyGetSetDef* (*)();

inline const char* entry_name(const PyMethodDef& def) { return def.ml_name; }
inline const char* entry_name(const PyGetSetDef& def) { return def.name; }

// The groups' entries in order, ended by a null entry, in `into` (which must
// live as long as the class: the class keeps pointing at it).
template <typename Def, typename Group, std::size_t N>
Def* join_groups(const Group (&groups)[N], std::vector<Def>& into) {
  if (into.empty()) {
    for (Group group : groups) {
      for (const Def* def = group(); entry_name(*def) != nullptr; ++def) into.push_back(*def);
    }
    into.push_back(Def{});
  }
  return into.data();
}

}  // namespace deziro::binding
