#pragma once

namespace kestrel {

// How the hidapi backend reads the errno of a failed call: whether it means that the device has
// gone away (unplugged), which the download reports as a missing acknowledgement, or is an error
// of the call, which it reports with its number ("Send error= 32").
//
// Writes: only ENODEV and ESHUTDOWN mean gone. EPIPE is a stalled endpoint and EIO a failed
// transfer; both are errors of the write.
bool hidapiWriteMeansGone(int err);

// Reads: a hang-up of the node (hidapi then leaves errno 0), ENODEV, ESHUTDOWN and EIO mean gone.
bool hidapiReadMeansGone(int err);

}  // namespace kestrel
