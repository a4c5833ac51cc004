// The bundle's library: its factory, QzASPlugInCreate, and everything behind it come whole from
// the plug-in's archives; the platform comes from the program that loads it.
#include "QzASPlugInDriverInterface.h"
