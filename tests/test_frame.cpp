#include <znfssnapcore/znfssnapcore.h>
#include <gtest/gtest.h>
TEST(Frame, Placeholder) {}
