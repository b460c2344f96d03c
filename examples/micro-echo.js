// A NATS micro service written with nats.js (npm package "nats", 2.x):
// "echo", one endpoint "echo" that answers every request with its payload,
// and every n-th request with a service error (503). Prints "echo: ready"
// once it listens.
//
//   npm install nats@2.29.3
//   node micro-echo.js [server, default 127.0.0.1:4222] [n, default 0: never]
"use strict";
const { connect } = require("nats");

(async () => {
  const nc = await connect({ servers: process.argv[2] || "127.0.0.1:4222" });
  const every = Number(process.argv[3] || 0);
  let count = 0;
  const svc = await nc.services.add({
    name: "echo",
    version: "1.0.0",
    description: "answers with the request's payload",
  });
  svc.addEndpoint("echo", (err, msg) => {
    count += 1;
    if (every > 0 && count % every === 0) {
      msg.respondError(503, "busy " + count);
    } else {
      msg.respond(msg.data);
    }
  });
  await nc.flush();
  console.log("echo: ready");
  await nc.closed();
})().catch((e) => {
  console.error("micro-echo:", e.message);
  process.exit(1);
});
