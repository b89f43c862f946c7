#pragma once
// Runs downward and within its layer: allowed.
#include "base/Handles.h"
#include "launcher/Other.h"
#include "system/Upward.h"
