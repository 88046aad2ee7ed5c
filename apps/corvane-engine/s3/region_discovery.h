// Opening a scope's bucket in its own region. When nothing named the region
// (see s3_config.h), the bucket's region is asked for with one HEAD of the
// bucket: the store names it in the x-amz-bucket-region header, also when it
// refuses or redirects; else the refusal's XML may name it (a 400
// AuthorizationHeaderMalformed). Whether or not the region was named, a
// check of the bucket that the store refuses naming another region is
// followed once, with the requests signed for that region (and, on the
// public endpoint, sent to that region's endpoint).
//
// Pure functions; any thread. Failures are the S3Error of the bucket check.
#pragma once

#include <memory>
#include <string>

#include "s3/s3_client.h"

namespace corvane::s3 {

struct OpenedBucket {
  std::unique_ptr<S3Client> client;
  S3BucketInfo info;
};

// A client of `bucket` in the bucket's region, once the bucket answered its
// check (S3Client::checkBucket).
OpenedBucket openBucket(S3Config config, const std::string& bucket,
                        const S3ClientOptions& options = {});

// The bucket's region as the store names it, or empty when it names none.
std::string askBucketRegion(const S3Config& config, const std::string& bucket,
                            const S3ClientOptions& options = {});

}  // namespace corvane::s3
