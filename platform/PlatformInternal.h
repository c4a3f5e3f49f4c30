// Pieces shared between the platform's own source files; not for components.
#pragma once

#include <vector>

#include "Components.h"

struct BuiltinComponent {
  ComponentDescription description;
  ComponentRoutineUPP entry;
};

// The components every process has from the start: the pointer data handler
// ('dhlr'/'ptr ') and the file data handler ('dhlr'/'alis').
const std::vector<BuiltinComponent>& BuiltinDataHandlers();
