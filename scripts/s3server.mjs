// Starts a local S3 server (s3rver) on 127.0.0.1 for the test suite and the demo.
// Usage: node scripts/s3server.mjs DIR PORTFILE BUCKET...
// Binds a free port, creates the buckets, writes "PORT" to PORTFILE once it
// listens, and runs until SIGTERM/SIGINT.
import S3rver from 's3rver';
import fs from 'node:fs';

const [dir, portFile, ...buckets] = process.argv.slice(2);
if (!dir || !portFile) {
  console.error('usage: s3server.mjs DIR PORTFILE BUCKET...');
  process.exit(2);
}
fs.mkdirSync(dir, { recursive: true });
const server = new S3rver({
  address: '127.0.0.1',
  port: 0,
  silent: true,
  directory: dir,
  configureBuckets: buckets.map((name) => ({ name })),
});
const { port } = await server.run();
fs.writeFileSync(portFile + '.tmp', String(port));
fs.renameSync(portFile + '.tmp', portFile);
const stop = async () => {
  await server.close();
  process.exit(0);
};
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
