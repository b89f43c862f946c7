#pragma once
// Runs upward: the layer check must refuse it.
#include "launcher/Launcher.h"
