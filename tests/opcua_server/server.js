// OPC UA test server for the zebt_opcua tests: anonymous access, security None,
// loopback only. Usage: node server.js PORT [--late MS] [--bench N] [limits]
//   --late MS   adds ns=1;s=Late only MS milliseconds after start, so clients
//               meet BadNodeIdUnknown for it until then
//   --bench N   adds ns=1;s=Bench.0 .. Bench.<N-1> (Double), each counting up
//               every 100 ms (every --bench-period MS when given)
//   --count-item-calls  prints "CreateMonitoredItems K" for every such call
// Limits, as a small PLC would have them:
//   --items-per-call K           MaxMonitoredItemsPerCall
//   --items-per-subscription M   MaxMonitoredItemsPerSubscription
//   --publish-requests P         Publish requests held per session
//   --notifications-per-publish Q  most notifications in one Publish answer
//   --hide-limits                the two item limits are not offered as nodes
//   --oversized N                adds ns=1;s=Oversized, an array of N empty
//                                Variants: one byte each on the wire
// Security (anonymous and None when none is given):
//   --policies A,B      security policies offered, e.g. Basic256Sha256,None
//   --modes Sign,SignAndEncrypt  message security modes of the secured policies
//   --user NAME:PASS    user name token only (no anonymous access)
//   --user-certificates users may also log in with a trusted X.509 certificate
//   --cert FILE --key FILE  the server's certificate (DER or PEM) and key (PEM)
//   --application-uri URI   the server's ApplicationUri (the one in --cert)
//   --pki DIR           the server's PKI folder (clients it trusts)
//   --trust FILE        trusts this client certificate (copied into --pki)
// Prints "ready opc.tcp://127.0.0.1:PORT" once it accepts connections.
"use strict";
const { OPCUAServer, ServerSession, Subscription } = require("node-opcua-server");
const { SecurityPolicy } = require("node-opcua-secure-channel");
const { MessageSecurityMode } = require("node-opcua-types");
const { DataType, Variant, VariantArrayType } = require("node-opcua-variant");
const { StatusCodes } = require("node-opcua-status-code");

const args = process.argv.slice(2);
const port = Number(args[0]);
if (!Number.isInteger(port) || port <= 0) {
  console.error("usage: node server.js PORT [--late MS] [--bench N]");
  process.exit(2);
}
function option(name, fallback) {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
}
const lateMs = option("--late", -1);
const benchCount = option("--bench", 0);
const itemsPerCall = option("--items-per-call", 0);
const itemsPerSubscription = option("--items-per-subscription", 0);
const publishRequests = option("--publish-requests", 0);
if (publishRequests > 0) ServerSession.maxPublishRequestInQueue = publishRequests;
const notificationsPerPublish = option("--notifications-per-publish", 0);
if (notificationsPerPublish > 0) {
  Subscription.maxNotificationPerPublishHighLimit = notificationsPerPublish;
}

function text(name) {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : undefined;
}

// The security options above as OPCUAServer options; the certificate
// managers must be initialised before the server.
async function securityOptions() {
  const policies = text("--policies");
  if (!policies) return {};
  const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
  const fs = require("fs");
  const pki = text("--pki");
  const manager = new OPCUACertificateManager({
    rootFolder: pki, automaticallyAcceptUnknownCertificate: false,
  });
  await manager.initialize();
  const userManagerPki = new OPCUACertificateManager({
    rootFolder: `${pki}/users`, automaticallyAcceptUnknownCertificate: false,
  });
  await userManagerPki.initialize();
  const trust = text("--trust");
  if (trust) {
    const { readCertificate } = require("node-opcua-crypto");
    const der = readCertificate(trust);
    await manager.trustCertificate(der);
    if (args.includes("--user-certificates")) await userManagerPki.trustCertificate(der);
  }
  const options = {
    securityPolicies: policies.split(",").map((name) => SecurityPolicy[name]),
    securityModes: (text("--modes") || "SignAndEncrypt").split(",")
      .map((name) => MessageSecurityMode[name]),
    serverCertificateManager: manager,
    userCertificateManager: userManagerPki,
  };
  if (policies.split(",").includes("None")) options.securityModes.push(MessageSecurityMode.None);
  if (text("--cert")) {
    options.certificateFile = text("--cert");
    options.privateKeyFile = text("--key");
  }
  if (text("--application-uri")) options.serverInfo = { applicationUri: text("--application-uri") };
  const user = text("--user");
  if (user) {
    const [name, password] = user.split(":");
    options.allowAnonymous = false;
    options.userManager = {
      isValidUser: (userName, userPassword) => userName === name && userPassword === password,
    };
  }
  return options;
}

const scalars = {
  Boolean: true, SByte: -8, Byte: 200, Int16: -16, UInt16: 16, Int32: -32, UInt32: 32,
  Int64: [0xffffffff, 0xffffffc0], UInt64: [0, 64], Float: 1.5, Double: 2.25,
  String: "hello", DateTime: new Date(Date.UTC(2024, 0, 2, 3, 4, 5, 678)),
};
const readWrite = "CurrentRead | CurrentWrite";

function scalar(type, value) {
  return new Variant({ dataType: DataType[type], arrayType: VariantArrayType.Scalar, value });
}

(async () => {
  const server = new OPCUAServer({
    port, host: "127.0.0.1", hostname: "127.0.0.1", allowAnonymous: true,
    disableDiscovery: true, securityPolicies: [SecurityPolicy.None],
    securityModes: [MessageSecurityMode.None],
    serverCapabilities: Object.assign(
      itemsPerSubscription > 0 ? { maxMonitoredItemsPerSubscription: itemsPerSubscription } : {},
      itemsPerCall > 0 ? { operationLimits: { maxMonitoredItemsPerCall: itemsPerCall } } : {}),
    ...(await securityOptions()),
  });
  await server.initialize();
  const space = server.engine.addressSpace;
  if (args.includes("--hide-limits")) {
    for (const id of ["i=11714", "i=24104"]) {
      const node = space.findNode(id);
      if (node) space.deleteNode(node);
    }
  }
  const ns = space.getOwnNamespace();
  const dev = ns.addObject({ organizedBy: space.rootFolder.objects, browseName: "Dev" });
  const variable = (name, dataType, value, access, extra) =>
    ns.addVariable(Object.assign({
      componentOf: dev, nodeId: `s=${name}`, browseName: name, dataType,
      accessLevel: access, userAccessLevel: access, value,
    }, extra || {}));

  // Writable scalars named after their type: ns=1;s=Boolean ... ns=1;s=DateTime.
  for (const [type, value] of Object.entries(scalars)) {
    variable(type, type, scalar(type, value), readWrite);
  }
  // Read-only scalars: ns=1;s=ReadOnly.<Type>.
  for (const [type, value] of Object.entries(scalars)) {
    variable(`ReadOnly.${type}`, type, scalar(type, value), "CurrentRead");
  }
  // Arrays and types without a value-record name.
  const array = (type, value) =>
    new Variant({ dataType: DataType[type], arrayType: VariantArrayType.Array, value });
  variable("Array.Int32", "Int32", array("Int32", [1, -2, 3]), readWrite, { valueRank: 1 });
  variable("Array.Double", "Double", array("Double", [0.5, 1.25]), readWrite, { valueRank: 1 });
  variable("Array.String", "String", array("String", ["a", "b"]), readWrite, { valueRank: 1 });
  variable("Array.Boolean", "Boolean", array("Boolean", [true, false]), readWrite,
    { valueRank: 1 });
  variable("Array.Empty", "Int32", array("Int32", []), readWrite, { valueRank: 1 });
  variable("Matrix.Byte", "Byte", new Variant({
    dataType: DataType.Byte, arrayType: VariantArrayType.Matrix,
    value: [1, 2, 3, 4, 5, 6], dimensions: [2, 3],
  }), readWrite, { valueRank: 2, arrayDimensions: [2, 3] });
  variable("ByteString", "ByteString", scalar("ByteString", Buffer.from([1, 2, 3])), readWrite);
  variable("Guid", "Guid", scalar("Guid", "72962B91-FA75-4AE6-8D28-B404DC7DAF63"), readWrite);
  variable("LocalizedText", "LocalizedText",
    scalar("LocalizedText", { locale: "en", text: "Hi" }), readWrite);
  variable("NodeId", "NodeId", scalar("NodeId", space.rootFolder.objects.nodeId), readWrite);
  variable("StatusCode", "StatusCode", scalar("StatusCode", StatusCodes.BadNodeIdUnknown), readWrite);
  variable("QualifiedName", "QualifiedName",
    scalar("QualifiedName", { namespaceIndex: 1, name: "Q" }), readWrite);

  // Changing values: an Int32 counter every 200 ms, a Double ramp every 100 ms.
  let n = 0;
  const counter = variable("Counter", "Int32", scalar("Int32", 0), "CurrentRead");
  setInterval(() => counter.setValueFromSource(scalar("Int32", ++n)), 200);
  let r = 0;
  const ramp = variable("Ramp", "Double", scalar("Double", 0), "CurrentRead");
  setInterval(() => ramp.setValueFromSource(scalar("Double", (r += 0.5))), 100);

  if (lateMs >= 0) {
    setTimeout(() => {
      let m = 0;
      const late = variable("Late", "Int32", scalar("Int32", 0), "CurrentRead");
      setInterval(() => late.setValueFromSource(scalar("Int32", ++m)), 200);
    }, lateMs);
  }

  const oversized = option("--oversized", 0);
  if (oversized > 0) {
    const empty = new Variant({ dataType: DataType.Null });
    variable("Oversized", "BaseDataType", new Variant({
      dataType: DataType.Variant, arrayType: VariantArrayType.Array,
      value: new Array(oversized).fill(empty),
    }), "CurrentRead", { valueRank: 1 });
  }

  if (benchCount > 0) {
    const bench = [];
    for (let i = 0; i < benchCount; ++i) {
      bench.push(variable(`Bench.${i}`, "Double", scalar("Double", 0), "CurrentRead"));
    }
    let tick = 0;
    setInterval(() => {
      ++tick;
      for (const v of bench) v.setValueFromSource(scalar("Double", tick));
    }, option("--bench-period", 100));
  }

  // How sessions and channels end, for the tests of an orderly client stop:
  // "CloseSession" is a session the client closed; a channel closed while the
  // server runs was closed by the client's CloseSecureChannel.
  let shuttingDown = false;
  server.on("create_session", (session) => {
    console.log("session created");
    session.on("session_closed", (_session, _deleteSubscriptions, reason) => {
      console.log("session closed:", reason);
    });
  });
  server.on("newChannel", (channel) => {
    console.log("channel opened");
    const close = channel.close.bind(channel);
    channel.close = (...rest) => {
      if (!shuttingDown) console.log("channel closed by the client");
      return close(...rest);
    };
  });

  if (args.includes("--count-item-calls")) {
    const create = server._on_CreateMonitoredItemsRequest.bind(server);
    server._on_CreateMonitoredItemsRequest = (message, channel) => {
      console.log("CreateMonitoredItems", (message.request.itemsToCreate || []).length);
      return create(message, channel);
    };
  }

  await server.start();
  console.log("ready", server.getEndpointUrl());
  const stop = async () => {
    shuttingDown = true;
    await server.shutdown(100);
    process.exit(0);
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
})().catch((error) => {
  console.error("server failed:", error);
  process.exit(1);
});
