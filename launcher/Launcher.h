#pragma once
// Start-up, dispatch and teardown of one run of the tool.

#include <windows.h>

#include "engine/UnstallContext.h"

// Set while the tool borrows its parent's console.
extern bool consoleAttached;

// What the first command-line argument asks for.
enum class Operation { RemoveProduct, UnInstall, Install, SmoothUpdate, ShowUsage, Unknown };

Operation ChooseOperation(int argc, const wchar_t* const* argv);
// The limit of an -install or -uninstall run: the argument
// "EngineCallTimeout=<seconds>" after the option (the name in any case, the
// seconds as the digits 0-9 alone, at most 4294967295), else the policy value,
// else the default. An argument of that name that is refused, and a policy
// value other than the default, are logged.
DWORD ChooseEngineCallLimit(int argc, const wchar_t* const* argv);
// The exit code for an operation's result.
int ExitCodeFor(Operation operation, int result);

// The engine directory held in a service's "ImagePath" text: quotes and
// arguments dropped, a REG_EXPAND_SZ text expanded. 0 or E_FAIL.
HRESULT EngineDirFromImagePath(const wchar_t* imagePath, DWORD valueType, wchar_t* engineDir);

// The exit code of an operation whose workflow was cut short: 0 for the
// smooth update, -1 for the others.
int FailureExitCodeFor(Operation operation);

// The workflow an operation runs; null for one that runs none.
using Workflow = int (*)(CUnstallContext& context);
Workflow WorkflowFor(Operation operation);
// Runs the operation's workflow and gives the exit code for its result. Only
// the standard library throws (memory exhausted, a list or path grown past its
// limit): a workflow it cuts short fails, its unfinished log line dropped. A
// crash or abort inside the workflow ends the process with the same failure
// code (records/LastChance.h).
int RunOperation(CUnstallContext& context, Operation operation, Workflow workflow);

int Init(CUnstallContext& context);
int RunHandle(CUnstallContext& context);
int Uninit(CUnstallContext& context);

// The whole run behind the entry function: console, context, Init, run,
// Uninit. An exception outside any workflow ends it with -1, the console
// released and the run log ending on a whole line.
int RunGuarded(Workflow run = RunHandle);

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
