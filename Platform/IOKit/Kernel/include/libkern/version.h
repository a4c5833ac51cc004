// The running kernel's release, "major.minor.revision" (for example 13.4.0), as the process
// environment gives it (SONVEXA_DARWIN_RELEASE or an in-process override).
#pragma once

namespace platform::iokit {
int kernelVersionMajor();
int kernelVersionMinor();
int kernelVersionRevision();
} // namespace platform::iokit

#define version_major (::platform::iokit::kernelVersionMajor())
#define version_minor (::platform::iokit::kernelVersionMinor())
#define version_revision (::platform::iokit::kernelVersionRevision())
