#include "s3/region_discovery.h"

#include "host_log.h"

namespace corvane::s3 {

S3BucketInfo openBucket(const S3Client& client, const FollowRegion& follow) {
  const S3Client* current = &client;
  const std::string& bucket = client.bucket();
  if (!current->config().regionKnown) {
    const std::string region = current->regionNamed();
    if (!region.empty()) {
      hostlog::info("the bucket " + bucket + " is in the region " + region +
                    " (the store's answer)");
      if (region != current->config().region) {
        current = &follow(withRegion(current->config(), region));
      }
    } else {
      hostlog::debug("the store named no region for the bucket " + bucket + "; using " +
                     current->config().region);
    }
  }
  for (int tries = 0;; ++tries) {
    try {
      return current->checkBucket();
    } catch (const S3Error& e) {
      const std::string& region = e.bucketRegion();
      if (tries > 0 || region.empty() || region == current->config().region) throw;
      hostlog::info("the bucket " + bucket + " is in the region " + region + ", not " +
                    current->config().region + "; following the store's answer");
      current = &follow(withRegion(current->config(), region));
    }
  }
}

}  // namespace corvane::s3
