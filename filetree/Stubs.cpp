// Placeholders until the operations land; each reports failure.
#include "filetree/FileTree.h"
#include "filetree/UpdateExchange.h"

void AsciiLowercase(std::wstring&) {}
HRESULT _EnumFiles(const std::wstring&, int, FileList&) { return E_FAIL; }
HRESULT _MakeRelative(const std::wstring&, FileList&) { return E_FAIL; }
HRESULT _CopyFileList(const FileList&, const std::wstring&, const std::wstring&) { return E_FAIL; }
void _DeleteTree(const std::wstring&, int) {}
bool _CreateDirectoryTree(const wchar_t*, LPSECURITY_ATTRIBUTES) { return false; }
bool _CreateParentDirs(const wchar_t*) { return false; }
bool _DoCopyAndDelFile(const CUnstallContext&) { return false; }
bool _FilterUpdateFiles(FileList&, const CUnstallContext&, const std::wstring&) { return true; }
