#pragma once
// The edge the oscilloscope trigger waits for. The live channel plots set it and the plot
// consumer searches for it, so it lives apart from both.

namespace plots {

enum TriggerType_t { TriggerNone = 0, TriggerRise = 1, TriggerFall = 2 };

} // namespace plots
