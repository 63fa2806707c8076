// The module function `salvage`.
#pragma once

#include "python.hpp"

namespace deziro::binding::salvage {

PyMethodDef& salvage_definition();

}  // namespace deziro::binding::salvage
