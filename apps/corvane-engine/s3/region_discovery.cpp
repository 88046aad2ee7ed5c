#include "s3/region_discovery.h"

#include "host_log.h"

namespace corvane::s3 {

std::string askBucketRegion(const S3Config& config, const std::string& bucket,
                            const S3ClientOptions& options) {
  const S3Connection connection(config, options.connection);
  S3Request request;
  request.method = "HEAD";
  request.bucket = bucket;
  request.idempotent = true;
  request.operation = "HEAD bucket " + bucket;
  try {
    return connection.send(request).header("x-amz-bucket-region");
  } catch (const S3Error& e) {
    // A refusal or a redirect still names the region; any other failure is
    // the bucket check's to report.
    return e.bucketRegion();
  }
}

OpenedBucket openBucket(S3Config config, const std::string& bucket,
                        const S3ClientOptions& options) {
  if (!config.regionKnown) {
    const std::string region = askBucketRegion(config, bucket, options);
    if (!region.empty()) {
      hostlog::info("the bucket " + bucket + " is in the region " + region +
                    " (the store's answer)");
      config = withRegion(std::move(config), region);
    } else {
      hostlog::debug("the store named no region for the bucket " + bucket + "; using " +
                     config.region);
    }
  }
  for (int tries = 0;; ++tries) {
    auto client = std::make_unique<S3Client>(config, bucket, options);
    try {
      const S3BucketInfo info = client->checkBucket();
      return {std::move(client), info};
    } catch (const S3Error& e) {
      const std::string& region = e.bucketRegion();
      if (tries > 0 || region.empty() || region == config.region) throw;
      hostlog::info("the bucket " + bucket + " is in the region " + region + ", not " +
                    config.region + "; following the store's answer");
      config = withRegion(std::move(config), region);
    }
  }
}

}  // namespace corvane::s3
