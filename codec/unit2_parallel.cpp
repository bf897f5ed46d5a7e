// The codec's parts go to the program's kept worker threads.
#include "codec/unit2_parallel.h"

#include "core/worker_threads.h"

namespace unit2 {

void RunParts(int count, const std::function<void(int)>& work) { ::RunParts(count, work, CodecThreads()); }

}  // namespace unit2
