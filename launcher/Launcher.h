#pragma once
// Start-up, dispatch and teardown of one run of the tool.

#include <windows.h>

#include "launcher/UnstallContext.h"

// Set while the tool borrows its parent's console.
extern bool consoleAttached;

// What the first command-line argument asks for.
enum class Operation { RemoveProduct, UnInstall, Install, SmoothUpdate, ShowUsage, Unknown };

Operation ChooseOperation(int argc, const wchar_t* const* argv);
// The exit code for an operation's result.
int ExitCodeFor(Operation operation, int result);

// The engine directory held in a service's "ImagePath" text: quotes and
// arguments dropped, a REG_EXPAND_SZ text expanded. 0 or E_FAIL.
HRESULT EngineDirFromImagePath(const wchar_t* imagePath, DWORD valueType, wchar_t* engineDir);

int Init(CUnstallContext& context);
int RunHandle(CUnstallContext& context);
int Uninit(CUnstallContext& context);

bool _IsOnSafeDesktop();
HRESULT _ReadEngineDir(wchar_t* engineDir);
void _RedirectStdio();
int _ShowUsage();

// Attaches to the parent's console for the lifetime of the object, when the
// parent has one.
class ParentConsole {
public:
    ParentConsole();
    ~ParentConsole();
    ParentConsole(const ParentConsole&) = delete;
    ParentConsole& operator=(const ParentConsole&) = delete;
};
