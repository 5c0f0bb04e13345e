'use strict';
// A small HTTP(S) file server on 127.0.0.1 for the tests of images from URLs. Each
// file is served from memory with an ETag, Last-Modified and range support, and can
// misbehave: `throttle` (bytes per second), `dropAfter` (close the connection after K
// bytes of a body, for the first `drops` requests), `stallAfter` (stop sending after K
// bytes and hold the connection), `noRanges` (answer every request with the whole
// file), `extraLength` (a Content-Length larger than the body), `alter` (flip the
// byte at that offset, from request `alterFrom` on), `trickle` (from request K on, one
// byte every 200 ms: too slow to use, too quick to count as a stall), `weakEtag`,
// `noLastModified` or `redirect` (a 302 to that URL, or to the n-th of a list at the
// n-th request). It counts per file the requests,
// the body bytes it sent, and the downloads of the whole file (requests that asked
// for no range).
//   const server = await serve({ '/x.img.xz': { bytes, dropAfter: 1000 } }, { tls });
//   server.url('/x.img.xz'); server.sent('/x.img.xz'); server.replace('/x.img.xz', other);
//   await server.requested('/x.img.xz', 2); // once its second request came
//   await server.close();
// Run as a program (`node url-server.js CONFIG.json`, CONFIG mapping URL paths to
// { file, stream, ...misbehaviour }), it serves those files and prints its address:
// the server of the native tests and of the benchmark. A file with `stream` is read
// from the disk at each request (no misbehaviour then), the others from memory.
const http = require('node:http');
const https = require('node:https');
const fs = require('node:fs');
const crypto = require('node:crypto');

const CHUNK = 64 * 1024;

// [start, end] of "bytes=START-" or "bytes=START-END"; null for anything else.
function rangeOf(header, size) {
  const match = /^bytes=(\d+)-(\d*)$/.exec(header || '');
  if (!match) return null;
  const start = Number(match[1]);
  const end = match[2] === '' ? size - 1 : Math.min(Number(match[2]), size - 1);
  return start <= end ? [start, end] : null;
}

function respond(file, req, res, counts) {
  const { bytes, size, etag } = file;
  if (file.redirect) {  // one target, or one per request, the last for the rest
    const targets = [].concat(file.redirect);
    res.writeHead(302, { Location: targets[Math.min(counts.requests++, targets.length - 1)], 'Content-Length': 0 });
    res.end();
    return;
  }
  const headers = { ETag: etag, 'Content-Type': 'application/octet-stream' };
  if (!file.noLastModified) headers['Last-Modified'] = file.modified;
  let [start, end] = [0, size - 1];
  const range = file.noRanges ? null : rangeOf(req.headers.range, size);
  const ifRange = req.headers['if-range'];
  if (!file.noRanges && req.headers.range && !range) {
    res.writeHead(416, { 'Content-Range': `bytes */${size}`, 'Content-Length': 0 });
    res.end();
    return;
  }
  if (range && (!ifRange || ifRange === etag || ifRange === file.modified)) {
    [start, end] = range;
    res.statusCode = 206;
    headers['Content-Range'] = `bytes ${start}-${end}/${size}`;
  } else if (!file.noRanges) {
    headers['Accept-Ranges'] = 'bytes';
  }
  headers['Content-Length'] = end - start + 1 + (file.extraLength || 0);
  res.writeHead(res.statusCode, headers);
  if (req.method === 'HEAD') {
    res.end();
    return;
  }
  const request = counts.requests;
  counts.requests += 1;
  counts.waiters = counts.waiters.filter(({ count, resolve }) => (count <= counts.requests ? resolve() : true));
  if (!req.headers.range) counts.whole += 1;
  if (file.path) {
    const stream = fs.createReadStream(file.path, { start, end, highWaterMark: 1 << 20 });
    stream.on('data', (piece) => { counts.bytes += piece.length; });
    stream.pipe(res);
    return;
  }
  const dropAt = file.dropAfter !== undefined && request < (file.drops ?? 1) ? file.dropAfter : Infinity;
  const stallAt = file.stallAfter !== undefined && request < (file.stalls ?? 1) ? file.stallAfter : Infinity;
  const trickling = file.trickle !== undefined && request >= file.trickle;
  const altered = file.alter !== undefined && request >= (file.alterFrom ?? 0);
  let at = start;
  const send = () => {
    if (res.destroyed) return;
    const body = at - start;
    if (body >= dropAt) {
      res.destroy();
      return;
    }
    if (body >= stallAt) return; // holds the connection without a byte more
    if (at > end) {
      res.end();
      return;
    }
    const length = trickling ? 1 : Math.min(CHUNK, end + 1 - at, dropAt - body, stallAt - body);
    const piece = Buffer.from(bytes.subarray(at, at + length));
    if (altered && file.alter >= at && file.alter < at + length) piece[file.alter - at] ^= 0xff;
    at += length;
    counts.bytes += length;
    const wait = trickling ? 200 : file.throttle ? (length / file.throttle) * 1000 : 0;
    const next = () => (wait ? setTimeout(send, wait) : setImmediate(send));
    if (res.write(piece)) next();
    else res.once('drain', next);
  };
  send();
}

// `files`: URL path -> { bytes, ...misbehaviour }. `tls`: { key, cert } for HTTPS.
async function serve(files, { tls } = {}) {
  const counts = new Map(Object.keys(files).map((name) => [name, { requests: 0, whole: 0, bytes: 0, waiters: [] }]));
  const modified = new Date(Date.now() - 60000).toUTCString();
  const describe = (name, file) => {
    const size = file.bytes ? file.bytes.length : fs.statSync(file.path).size;
    const identity = file.bytes ? crypto.createHash('sha1').update(file.bytes).digest('hex') : `${size}-${name}`;
    return { modified, ...file, size, etag: `${file.weakEtag ? 'W/' : ''}"${identity}"` };
  };
  const described = new Map(Object.entries(files).map(([name, file]) => [name, describe(name, file)]));
  const sockets = new Set();
  const handler = (req, res) => {
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    const file = described.get(name);
    if (!file) {
      res.writeHead(404, { 'Content-Length': 0 });
      res.end();
      return;
    }
    respond(file, req, res, counts.get(name));
  };
  const server = tls ? https.createServer(tls, handler) : http.createServer(handler);
  server.on('connection', (socket) => {
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const base = `${tls ? 'https' : 'http'}://127.0.0.1:${server.address().port}`;
  return {
    files,
    url: (name) => `${base}${name}`,
    sent: (name) => counts.get(name).bytes,
    requests: (name) => counts.get(name).requests,
    wholeDownloads: (name) => counts.get(name).whole,
    requested: (name, count) => new Promise((resolve) => {
      const seen = counts.get(name);
      if (seen.requests >= count) resolve();
      else seen.waiters.push({ count, resolve });
    }),
    // Serves other bytes at `name` from now on, as a mirror that updated the file does.
    replace: (name, bytes) => described.set(name, describe(name, { ...described.get(name), bytes, modified: new Date().toUTCString() })),
    close: () => new Promise((resolve) => {
      for (const socket of sockets) socket.destroy();
      server.close(resolve);
    }),
  };
}

if (require.main === module) {
  const config = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
  const files = Object.fromEntries(Object.entries(config).map(([name, { file, stream, ...rest }]) =>
    [name, stream ? { path: file } : { bytes: fs.readFileSync(file), ...rest }]));
  serve(files).then((server) => process.stdout.write(`${server.url('')}\n`));
}

module.exports = { serve };
