#pragma once
// Standard and Windows headers are no layer.
#include <windows.h>
#include <string>
