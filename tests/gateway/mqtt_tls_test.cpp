// TLS to a real mosquitto with certificates made here by the openssl command: each failure is
// logged once with its cause in words, and the good case publishes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

// A CA and a second CA; broker certificates naming 127.0.0.1 and localhost (good, expired, from
// the second CA), one naming another host; client certificates from each CA.
constexpr const char *kMakeCertificates = R"(set -e
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $ec -keyout ca.key -out ca.pem -subj /CN=plant-ca -days 2
openssl req -x509 $ec -keyout other.key -out other.pem -subj /CN=other-ca -days 2
sign() {
  openssl req $ec -keyout $1.key -out $1.csr -subj /CN=$2
  printf '%s\n' "$5" > $1.ext
  openssl x509 -req -in $1.csr -CA $4.pem -CAkey $4.key -CAcreateserial -out $1.pem -days $3 \
    -extfile $1.ext
}
sign broker 127.0.0.1 2 ca subjectAltName=IP:127.0.0.1,DNS:localhost
sign expired 127.0.0.1 -1 ca subjectAltName=IP:127.0.0.1,DNS:localhost
sign stranger 127.0.0.1 2 other subjectAltName=IP:127.0.0.1,DNS:localhost
sign elsewhere elsewhere.example 2 ca subjectAltName=DNS:elsewhere.example
sign client vpisd-gateway 2 ca extendedKeyUsage=clientAuth
sign rogue vpisd-gateway 2 other extendedKeyUsage=clientAuth
openssl ec -in client.key -aes256 -passout pass:x -out locked.key
chmod 755 . && chmod 644 *
)";

struct TlsCase {
    const char *name;
    const char *brokerCertificate; // nullptr: the broker's listener is plain MQTT
    bool requireCertificate;
    const char *gatewayKeys; // "@" stands for the certificates' folder
    const char *logged;
    bool brokerStopped = false;
};

void PrintTo(const TlsCase &c, std::ostream *out) {
    *out << c.name;
}

const TlsCase kCases[] = {
    {"Good", "broker", true,
     "cafile = \"@ca.pem\"\ncertfile = \"@client.pem\"\nkeyfile = \"@client.key\"\n",
     "connected to broker 127.0.0.1:PORT over TLS"},
    {"GoodFromTls13", "broker", false, "cafile = \"@ca.pem\"\ntls_version = \"tlsv1.3\"\n",
     "connected to broker 127.0.0.1:PORT over TLS"},
    {"OtherCa", "stranger", false, "cafile = \"@ca.pem\"\n",
     "TLS to broker 127.0.0.1:PORT failed: the broker's certificate (CN=127.0.0.1) is not signed "
     "by the CA in @ca.pem"},
    {"NamesAnotherHost", "elsewhere", false, "cafile = \"@ca.pem\"\n",
     "TLS to broker 127.0.0.1:PORT failed: the broker's certificate (CN=elsewhere.example) does "
     "not name 127.0.0.1"},
    {"Expired", "expired", false, "cafile = \"@ca.pem\"\n",
     "TLS to broker 127.0.0.1:PORT failed: the broker's certificate (CN=127.0.0.1) expired on "},
    {"NotTls", nullptr, false, "cafile = \"@ca.pem\"\n",
     "TLS to broker 127.0.0.1:PORT failed: the broker does not speak TLS on port PORT"},
    {"NoClientCertificate", "broker", true, "cafile = \"@ca.pem\"\n",
     "TLS to broker 127.0.0.1:PORT failed: the broker requires a client certificate: give "
     "certfile and keyfile"},
    {"ClientCertificateRefused", "broker", true,
     "cafile = \"@ca.pem\"\ncertfile = \"@rogue.pem\"\nkeyfile = \"@rogue.key\"\n",
     "TLS to broker 127.0.0.1:PORT failed: the broker refused the client certificate @rogue.pem"},
    {"NotReached", "broker", false, "cafile = \"@ca.pem\"\n",
     "broker 127.0.0.1:PORT not reached (Connection refused)", true},
};

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The certificates' folder, ending in "/": made once, removed at the exit.
const std::string &Keys() {
    static const TempDir keys;
    static const std::string path = [] {
        keys.Write("make.sh", kMakeCertificates);
        if (std::system(("cd " + keys.path() + " && sh make.sh >make.log 2>&1").c_str()) != 0)
            throw std::runtime_error("openssl could not make the certificates");
        return keys.path() + "/";
    }();
    return path;
}

class TlsToBroker : public testing::TestWithParam<TlsCase> {};

TEST_P(TlsToBroker, CauseLoggedOnceAndTheGoodCasePublishes) {
    const TlsCase &c = GetParam();
    const std::string &k = Keys();
    const uint16_t plainPort = FreePort(); // the subscriber's own listener, without TLS
    std::string brokerConfig;
    if (c.brokerCertificate != nullptr)
        brokerConfig = "cafile " + k + "ca.pem\ncertfile " + k + c.brokerCertificate +
                       ".pem\nkeyfile " + k + c.brokerCertificate + ".key\n" +
                       (c.requireCertificate ? "require_certificate true\n" : "");
    Plant plant(brokerConfig + "listener " + std::to_string(plainPort) + " 127.0.0.1\n");
    if (c.brokerStopped)
        plant.broker().Stop();
    plant.sim().SetRegister("P1", 100, 42);
    plant.StartGateway(Replace(c.gatewayKeys, "@", k) +
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n");
    const std::string logged =
        Replace(Replace(c.logged, "PORT", std::to_string(plant.broker().port())), "@", k);
    ASSERT_TRUE(plant.WaitForLog(logged)) << plant.GatewayLog();

    if (std::string(c.name).rfind("Good", 0) == 0) {
        Subscriber subscriber(plainPort, "vpisd/#");
        EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(42))) << plant.GatewayLog();
        return;
    }
    // Attempts 1 s and 3 s after the first one fail the same way and add nothing to the log.
    std::this_thread::sleep_for(3500ms);
    const std::string log = plant.GatewayLog();
    EXPECT_EQ(Occurrences(log, "trying again"), 1u) << log;
    EXPECT_EQ(log.find("connected to broker"), std::string::npos) << log;
}

// With cafile and no port in `broker`, the gateway goes to 8883, where this machine runs no broker.
TEST(MqttTlsSettings, WithCafileThePortIs8883) {
    Plant plant;
    const std::string text =
        Replace(plant.ConfigText("cafile = \"" + Keys() + "ca.pem\"\n"),
                "127.0.0.1:" + std::to_string(plant.broker().port()), "127.0.0.1");
    const std::string config = plant.dir().Write("port.toml", text);
    ChildProcess gateway(VPISD_GATEWAY_PATH, {"--lib", VPISD_LIBRARY_PATH, "--config", config});
    const auto until = std::chrono::steady_clock::now() + 10s;
    std::string logged;
    while (logged.find("broker 127.0.0.1:") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(50ms);
        logged = gateway.sofar().err + gateway.sofar().out;
    }
    EXPECT_NE(logged.find("broker 127.0.0.1:8883 not reached"), std::string::npos) << logged;
}

// A TLS 1.2 server (openssl s_server) where the broker was: tls_version "tlsv1.3" refuses it.
TEST(MqttTlsSettings, TlsVersionIsTheLowestAccepted) {
    Plant plant;
    plant.broker().Stop();
    const std::string port = std::to_string(plant.broker().port());
    ChildProcess server("/usr/bin/openssl",
                        {"s_server", "-quiet", "-tls1_2", "-accept", "127.0.0.1:" + port, "-cert",
                         Keys() + "broker.pem", "-key", Keys() + "broker.key"});
    const std::string logged = "TLS to broker 127.0.0.1:" + port +
                               " failed: the broker accepts none of the TLS versions the gateway "
                               "offers (1.3, alert \"protocol version\")";
    std::this_thread::sleep_for(500ms); // s_server listening
    plant.StartGateway("cafile = \"" + Keys() + "ca.pem\"\ntls_version = \"tlsv1.3\"\n");
    EXPECT_TRUE(plant.WaitForLog(logged)) << plant.GatewayLog();
}

TEST(MqttTlsSettings, UnusableKeyStopsTheStart) {
    struct Case {
        const char *keyfile;
        const char *logged;
    };
    const Case cases[] = {
        {"locked.key", "locked.key is under a passphrase, which the gateway does not take"},
        {"client.pem", "client.pem holds no private key the gateway can read"},
        {"rogue.key", "rogue.key is not the key of certfile "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keyfile);
        Plant plant;
        plant.StartGateway("cafile = \"" + Keys() + "ca.pem\"\ncertfile = \"" + Keys() +
                           "client.pem\"\nkeyfile = \"" + Keys() + c.keyfile + "\"\n");
        EXPECT_TRUE(plant.WaitForLog(c.logged)) << plant.GatewayLog();
        EXPECT_EQ(plant.StopGateway(), 1) << plant.GatewayLog();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TlsToBroker, testing::ValuesIn(kCases),
                         [](const auto &test) { return std::string(test.param.name); });

} // namespace
} // namespace vpisd::gateway::mqtt_test
