// Reads an HdrHistogram interval log with hdr-histogram-js's own reader and
// prints what it decoded, one JSON object per interval histogram:
//   node read-hlog.js <node_modules folder> <file.hlog>
// The tests compare it with what the program recorded.
"use strict";
const path = require("path");
const fs = require("fs");
const hdr = require(path.join(process.argv[2], "hdr-histogram-js"));

const reader = new hdr.HistogramLogReader(fs.readFileSync(process.argv[3], "utf8"));
const out = [];
for (let h = reader.nextIntervalHistogram(); h !== null; h = reader.nextIntervalHistogram()) {
  const counts = [];
  for (let i = 0; i < h.countsArrayLength; i++) {
    const c = h.getCountAtIndex(i);
    if (c !== 0) {
      counts.push([h.valueFromIndex(i), c]);
    }
  }
  out.push({
    tag: h.tag,
    start_ms: h.startTimeStampMsec,
    end_ms: h.endTimeStampMsec,
    count: h.totalCount,
    max: h.maxValue,
    percentiles: [50, 90, 99, 99.9, 99.99].map((p) => h.getValueAtPercentile(p)),
    counts: counts,
  });
}
process.stdout.write(JSON.stringify(out) + "\n");
