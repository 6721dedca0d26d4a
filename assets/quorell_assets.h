#pragma once

// Registers the compiled-in pictures (":/assets/placeholder.png", ":/assets/quorell.png").
// Call once in main() before the first use; calling it again does no harm.
void QuorellInitAssets();
