#include "AudioCopy.h"
#include <gtest/gtest.h>
TEST(AudioCopy, Placeholder) {}
