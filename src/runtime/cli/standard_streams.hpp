// Standard output and standard error written straight to their
// descriptors, waiting while a descriptor set not to block is full.
#pragma once

namespace quilvar::runtime {

// From now on std::cout and std::cerr write to descriptors 1 and 2 through
// buffers of their own (std::cout's a large one, std::cerr's emptied after
// each output, as before): a stream that another program set not to block
// (a terminal it shares, a pipe from a parent written in an event loop)
// takes the text once it has room, where writing through the C library
// would fail with EAGAIN and lose the listing. Each stream has one writer
// thread at a time: the listing's thread for std::cout, the computing
// thread for std::cerr.
void write_standard_streams_through_descriptors();

}  // namespace quilvar::runtime
