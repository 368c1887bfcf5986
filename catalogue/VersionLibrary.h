// The binding of the version library, through which the service reads its own file version.
#pragma once

namespace kestrix {

/// Binds the version library by full path from the system directory: all of its entry points or none.
/// Returns true when bound. Run once at process start, before the service's own start-up.
bool BindVersionLibrary();

/// Releases the binding (at process exit); the entries are empty afterwards.
void ReleaseVersionLibrary();

}  // namespace kestrix
