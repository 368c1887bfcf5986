// The version library binding. The program carries no version library yet: the binding stays empty, which the
// service treats as it treats a missing library (its own version reads 0.0).
#include "catalogue/VersionLibrary.h"

namespace kestrix {

bool BindVersionLibrary() { return false; }

void ReleaseVersionLibrary() {}

}  // namespace kestrix
