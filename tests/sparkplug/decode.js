// Eclipse Tahu's Sparkplug B payload codec (sparkplug-payload) for the gateway's tests, one
// payload per line on stdin:
//   a line of hex is decoded and printed as one line of JSON (64-bit values as decimal
//   strings, so that nothing is rounded on the way);
//   a line of JSON (a payload as Tahu's encodePayload takes it) is encoded and printed as hex.
const { get } = require("sparkplug-payload");
const readline = require("readline");

const codec = get("spBv1.0");
const plain = (key, value) => {
  if (value !== null && typeof value === "object" && value.constructor &&
      value.constructor.name === "Long")
    return value.toString();
  if (value instanceof Uint8Array)
    return Buffer.from(value).toString("hex");
  return value;
};
const lines = readline.createInterface({ input: process.stdin });
lines.on("line", (line) => {
  const text = line.trim();
  if (text === "")
    return;
  try {
    if (text.startsWith("{"))
      console.log(Buffer.from(codec.encodePayload(JSON.parse(text))).toString("hex"));
    else
      console.log(JSON.stringify(codec.decodePayload(Buffer.from(text, "hex")), plain));
  } catch (error) {
    console.log(JSON.stringify({ error: String(error) }));
  }
});
