// Runs the parts of one large transfer (ranged GETs, upload parts, part
// copies) a few at a time.
//
// A free function; the calling thread works as one of the workers.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "s3/transfer_monitor.h"

namespace corvane::s3 {

// Calls work(i) for every i in [0, count), each once, on at most
// `concurrency` threads. The first failure cancels `monitor`, which stops the
// parts in flight and keeps further ones from starting, and is rethrown here
// once every thread has ended; a cancel by the monitor's caller is thrown as
// S3Error::canceled(operation).
void runParts(const std::string& operation, std::size_t count, int concurrency,
              TransferMonitor& monitor, const std::function<void(std::size_t index)>& work);

}  // namespace corvane::s3
