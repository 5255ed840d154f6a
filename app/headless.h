// Start without a display: the program runs on Qt's offscreen platform and behaves as if
// started with -Embedding, so it can run as a service.
#pragma once

namespace qora {

// Selects the offscreen platform when no display is available. Call before QApplication.
// Returns true when the program runs headless.
bool PrepareHeadlessPlatform();

}  // namespace qora
