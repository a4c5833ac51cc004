// The library of VKSonvexa.kext. It holds the driver's archives whole, so the driver's classes
// register when the kernel host loads it; the personalities in its Info.plist name them.
