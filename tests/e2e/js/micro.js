// NATS micro services and a service client written with the npm package
// "nats" (nats.js 2.x, its own services API), for the end-to-end tests.
//
// (The service "echo" is examples/micro-echo.js.)
//
//   node micro.js <nats module dir> serve <server> <error every n>
//     "multi": endpoints "a" (the payload, or respondError(400, ...) when
//     the request lacks the Xo_Category header) and "b" (the payload, or
//     respondError(500, ...) every n-th request); "legacy": an XoSys
//     service that does not speak the service protocol (resolve subject and
//     address, the request frame sent back). Prints "ready".
//   node micro.js <nats module dir> client <server> <service> <plain requests>
//     ping, info and stats of <service>, then <plain requests> plain
//     requests to its first endpoint; prints one JSON line of all answers.
"use strict";
const [, , natsDir, mode, server, ...rest] = process.argv;
const { connect, headers } = require(natsDir);

async function serve(nc, every) {
  let bCount = 0;
  const multi = await nc.services.add({ name: "multi", version: "1.0.0" });
  multi.addEndpoint("a", {
    subject: "multi.a",
    handler: (err, msg) => {
      if (!msg.headers || msg.headers.get("Xo_Category") !== "VORNA_FUTURES") {
        msg.respondError(400, "no Xo_Category header");
      } else {
        msg.respond(msg.data);
      }
    },
  });
  multi.addEndpoint("b", {
    subject: "multi.b",
    handler: (err, msg) => {
      bCount += 1;
      if (bCount % every === 0) msg.respondError(500, "b failed");
      else msg.respond(msg.data);
    },
  });
  nc.subscribe("_XO.resolve.legacy", { callback: (err, msg) => msg.respond("_XO.svc.legacy") });
  nc.subscribe("_XO.svc.legacy", { queue: "xo", callback: (err, msg) => msg.respond(msg.data) });
  await nc.flush();
  console.log("ready");
}

async function collect(iter) {
  const all = [];
  for await (const r of iter) all.push(r);
  return all;
}

async function client(nc, service, plain) {
  const svc = nc.services.client({ maxWait: 1000 });
  const out = {};
  out.ping = await collect(await svc.ping(service));
  out.info = await collect(await svc.info(service));
  out.stats = await collect(await svc.stats(service));
  out.replies = [];
  const subject = out.info.length ? out.info[0].endpoints[0].subject : "";
  for (let i = 0; i < plain; i++) {
    const m = await nc.request(subject, new TextEncoder().encode("plain " + i), { timeout: 2000 });
    out.replies.push({
      data: new TextDecoder().decode(m.data),
      code: m.headers ? m.headers.get("Nats-Service-Error-Code") : "",
      error: m.headers ? m.headers.get("Nats-Service-Error") : "",
    });
  }
  console.log(JSON.stringify(out));
}

(async () => {
  const nc = await connect({ servers: server });
  if (mode === "serve") {
    await serve(nc, Number(rest[0]));
    await nc.closed();
  } else {
    await client(nc, rest[0], Number(rest[1]));
    await nc.close();
  }
})().catch((e) => {
  console.error("micro.js:", e && e.message ? e.message : e);
  process.exit(1);
});
