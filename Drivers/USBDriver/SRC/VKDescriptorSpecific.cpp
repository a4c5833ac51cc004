#include "VKUSBDescriptors.h"
