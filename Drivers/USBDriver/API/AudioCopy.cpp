#include "AudioCopy.h"
