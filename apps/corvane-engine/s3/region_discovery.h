// Opening a scope's bucket in its own region. When nothing named the region
// (see s3_config.h), the bucket's region is asked for with one HEAD of the
// bucket (S3Client::regionNamed). Whether or not the region was named, a
// check of the bucket that the store refuses naming another region is
// followed once, with the requests signed for that region (and, on the
// public endpoint, sent to that region's endpoint).
//
// Pure functions; any thread. Failures are the S3Error of the bucket check.
#pragma once

#include <functional>

#include "s3/s3_client.h"

namespace corvane::s3 {

// Makes the client to use from now on for the bucket in the config's region
// and returns it (the caller keeps it).
using FollowRegion = std::function<const S3Client&(S3Config config)>;

// Checks the bucket of `client` (S3Client::checkBucket) in the bucket's
// region, handing `follow` the config of that region when it is not the
// client's.
S3BucketInfo openBucket(const S3Client& client, const FollowRegion& follow);

}  // namespace corvane::s3
