"""Object store I/O (bucketry) and snapshot datasets (snapshelf)."""
