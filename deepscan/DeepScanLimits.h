// The scales of the deep scan's two passes, shared by its parts: the fast
// pass weighs 9 of the 100, the deep pass 90.
#pragma once

constexpr int kFastScale = 9;
constexpr int kDeepScale = 90;
