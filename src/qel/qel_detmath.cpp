// The build compiles this file with -ffp-contract=off: a fused multiply-add
// chosen by the compiler for one target and not another would bring back
// the machine dependence these functions exist to remove.
#include "qel/qel_detmath.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ln 2 in two parts; the high part has 33 significant bits, so its product
// with any exponent or table index used here is exact.
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;

inline uint64_t bitsOf(double x)
{
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline double fromBits(uint64_t b)
{
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// Round to the nearest integer (ties to even) by the add-and-subtract of
// 1.5 x 2^52; valid for |x| < 2^51.
inline double roundNearest(double x)
{
    constexpr double kShift = 0x1.8p52;
    return (x + kShift) - kShift;
}

// 2^(j/64), j = 0..63, each the double nearest the true value.
constexpr std::array<double, 64> kExp2Table = {
    0x1.0000000000000p+0, 0x1.02c9a3e778061p+0, 0x1.059b0d3158574p+0, 0x1.0874518759bc8p+0,
    0x1.0b5586cf9890fp+0, 0x1.0e3ec32d3d1a2p+0, 0x1.11301d0125b51p+0, 0x1.1429aaea92de0p+0,
    0x1.172b83c7d517bp+0, 0x1.1a35beb6fcb75p+0, 0x1.1d4873168b9aap+0, 0x1.2063b88628cd6p+0,
    0x1.2387a6e756238p+0, 0x1.26b4565e27cddp+0, 0x1.29e9df51fdee1p+0, 0x1.2d285a6e4030bp+0,
    0x1.306fe0a31b715p+0, 0x1.33c08b26416ffp+0, 0x1.371a7373aa9cbp+0, 0x1.3a7db34e59ff7p+0,
    0x1.3dea64c123422p+0, 0x1.4160a21f72e2ap+0, 0x1.44e086061892dp+0, 0x1.486a2b5c13cd0p+0,
    0x1.4bfdad5362a27p+0, 0x1.4f9b2769d2ca7p+0, 0x1.5342b569d4f82p+0, 0x1.56f4736b527dap+0,
    0x1.5ab07dd485429p+0, 0x1.5e76f15ad2148p+0, 0x1.6247eb03a5585p+0, 0x1.6623882552225p+0,
    0x1.6a09e667f3bcdp+0, 0x1.6dfb23c651a2fp+0, 0x1.71f75e8ec5f74p+0, 0x1.75feb564267c9p+0,
    0x1.7a11473eb0187p+0, 0x1.7e2f336cf4e62p+0, 0x1.82589994cce13p+0, 0x1.868d99b4492edp+0,
    0x1.8ace5422aa0dbp+0, 0x1.8f1ae99157736p+0, 0x1.93737b0cdc5e5p+0, 0x1.97d829fde4e50p+0,
    0x1.9c49182a3f090p+0, 0x1.a0c667b5de565p+0, 0x1.a5503b23e255dp+0, 0x1.a9e6b5579fdbfp+0,
    0x1.ae89f995ad3adp+0, 0x1.b33a2b84f15fbp+0, 0x1.b7f76f2fb5e47p+0, 0x1.bcc1e904bc1d2p+0,
    0x1.c199bdd85529cp+0, 0x1.c67f12e57d14bp+0, 0x1.cb720dcef9069p+0, 0x1.d072d4a07897cp+0,
    0x1.d5818dcfba487p+0, 0x1.da9e603db3285p+0, 0x1.dfc97337b9b5fp+0, 0x1.e502ee78b3ff6p+0,
    0x1.ea4afa2a490dap+0, 0x1.efa1bee615a27p+0, 0x1.f50765b6e4540p+0, 0x1.fa7c1819e90d8p+0,
};

// x times 2^n for any n: one multiplication by a power of two while both it
// and the result are normal, the exact library scaling otherwise.
inline double scaleByPowerOfTwo(double x, int64_t n)
{
    if (n >= -1022 && n <= 1023)
        return x * fromBits(static_cast<uint64_t>(n + 1023) << 52);
    return std::ldexp(x, static_cast<int>(n));
}

// log x = e ln 2 + log c + log(1 + r), r = (m - c)/c, for x = 2^e m with m in
// [0.708984375, 1.41796875) and c the centre of m's 128th of that range, given
// with 10 significant bits so that m - c is exact (and c = 1 exactly where
// m may be 1, so that r is exact near x = 1). |r| <= 2^-8: seven terms of
// the series reach 2e-18 relative. Columns: c, 1/c, log c, and the part of
// log c below the double.
struct LogTableRow {
    double c, invc, logc, logcLo;
};
// 0.708984375: the row boundaries then fall at 1 - 2^-9 and 1 + 2^-8, so
// one row (c = 1) covers x near 1 on both sides.
constexpr uint64_t kLogOffset = 0x3fe6b00000000000ULL;
constexpr LogTableRow kLogTable[128] = {
    {0x1.6c00000000000p-1, 0x1.6816816816817p+0, -0x1.5d5bddf595f30p-2, 0x1.6541148cbb8a2p-56},
    {0x1.6e00000000000p-1, 0x1.661ec6a5122f9p+0, -0x1.57bf753c8d1fbp-2, 0x1.0908d15f88b63p-57},
    {0x1.7000000000000p-1, 0x1.642c8590b2164p+0, -0x1.522ae0738a3d8p-2, 0x1.8f7e9b38a6979p-57},
    {0x1.7200000000000p-1, 0x1.623fa77016240p+0, -0x1.4c9e09e172c3cp-2, 0x1.123615b147a5dp-58},
    {0x1.7400000000000p-1, 0x1.6058160581606p+0, -0x1.4718dc271c41bp-2, -0x1.8fb4c14c56eefp-60},
    {0x1.7600000000000p-1, 0x1.5e75bb8d015e7p+0, -0x1.419b423d5e8c7p-2, -0x1.0dbb243827392p-57},
    {0x1.7800000000000p-1, 0x1.5c9882b931057p+0, -0x1.3c25277333184p-2, 0x1.2ad27e50a8ec6p-56},
    {0x1.7a00000000000p-1, 0x1.5ac056b015ac0p+0, -0x1.36b6776be1117p-2, 0x1.324f0e883858ep-58},
    {0x1.7c00000000000p-1, 0x1.58ed2308158edp+0, -0x1.314f1e1d35ce4p-2, 0x1.3d69909e5c3dcp-56},
    {0x1.7e00000000000p-1, 0x1.571ed3c506b3ap+0, -0x1.2bef07cdc9354p-2, 0x1.82dad7fd86088p-56},
    {0x1.8000000000000p-1, 0x1.5555555555555p+0, -0x1.269621134db92p-2, -0x1.e0efadd9db02bp-56},
    {0x1.8200000000000p-1, 0x1.5390948f40febp+0, -0x1.214456d0eb8d4p-2, -0x1.f7ae91aeba60ap-57},
    {0x1.8400000000000p-1, 0x1.51d07eae2f815p+0, -0x1.1bf99635a6b95p-2, 0x1.12aeb84249223p-57},
    {0x1.8600000000000p-1, 0x1.5015015015015p+0, -0x1.16b5ccbacfb73p-2, -0x1.66fbd28b40935p-56},
    {0x1.8800000000000p-1, 0x1.4e5e0a72f0539p+0, -0x1.1178e8227e47cp-2, 0x1.0e63a5f01c691p-57},
    {0x1.8a00000000000p-1, 0x1.4cab88725af6ep+0, -0x1.0c42d676162e3p-2, -0x1.162c79d5d11eep-58},
    {0x1.8c00000000000p-1, 0x1.4afd6a052bf5bp+0, -0x1.07138604d5862p-2, -0x1.cdb16ed4e9138p-56},
    {0x1.8e00000000000p-1, 0x1.49539e3b2d067p+0, -0x1.01eae5626c691p-2, 0x1.18290bd2932e2p-59},
    {0x1.9000000000000p-1, 0x1.47ae147ae147bp+0, -0x1.f991c6cb3b379p-3, -0x1.f665066f980a2p-57},
    {0x1.9200000000000p-1, 0x1.460cbc7f5cf9ap+0, -0x1.ef5ade4dcffe6p-3, 0x1.08ab2ddc708a0p-58},
    {0x1.9400000000000p-1, 0x1.446f86562d9fbp+0, -0x1.e530effe71012p-3, -0x1.2276041f43042p-59},
    {0x1.9600000000000p-1, 0x1.42d6625d51f87p+0, -0x1.db13db0d48940p-3, -0x1.aa11d49f96cb9p-58},
    {0x1.9800000000000p-1, 0x1.4141414141414p+0, -0x1.d1037f2655e7bp-3, -0x1.60629242471a2p-57},
    {0x1.9a00000000000p-1, 0x1.3fb013fb013fbp+0, -0x1.c6ffbc6f00f71p-3, 0x1.8e58b2c57a4a5p-57},
    {0x1.9c00000000000p-1, 0x1.3e22cbce4a902p+0, -0x1.bd087383bd8adp-3, -0x1.dd355f6a516d7p-60},
    {0x1.9e00000000000p-1, 0x1.3c995a47babe7p+0, -0x1.b31d8575bce3dp-3, 0x1.6353ab386a94dp-57},
    {0x1.a000000000000p-1, 0x1.3b13b13b13b14p+0, -0x1.a93ed3c8ad9e3p-3, -0x1.bcafa9de97203p-57},
    {0x1.a200000000000p-1, 0x1.3991c2c187f63p+0, -0x1.9f6c407089664p-3, -0x1.35a19605e67efp-59},
    {0x1.a400000000000p-1, 0x1.3813813813814p+0, -0x1.95a5adcf7017fp-3, -0x1.142c507fb7a3dp-58},
    {0x1.a600000000000p-1, 0x1.3698df3de0748p+0, -0x1.8beafeb38fe8cp-3, -0x1.55aa8b6997a40p-58},
    {0x1.a800000000000p-1, 0x1.3521cfb2b78c1p+0, -0x1.823c16551a3c2p-3, 0x1.1232ce70be781p-57},
    {0x1.aa00000000000p-1, 0x1.33ae45b57bcb2p+0, -0x1.7898d85444c73p-3, -0x1.ef8f6ebcfb201p-58},
    {0x1.ac00000000000p-1, 0x1.323e34a2b10bfp+0, -0x1.6f0128b756abcp-3, 0x1.8de59c21e166cp-57},
    {0x1.ae00000000000p-1, 0x1.30d190130d190p+0, -0x1.6574ebe8c133ap-3, 0x1.d34f0f4621bedp-60},
    {0x1.b000000000000p-1, 0x1.2f684bda12f68p+0, -0x1.5bf406b543db2p-3, 0x1.1f5b44c0df7e7p-61},
    {0x1.b200000000000p-1, 0x1.2e025c04b8097p+0, -0x1.527e5e4a1b58dp-3, 0x1.71a9682395bfdp-61},
    {0x1.b400000000000p-1, 0x1.2c9fb4d812ca0p+0, -0x1.4913d8333b561p-3, 0x1.0d5604930f135p-58},
    {0x1.b600000000000p-1, 0x1.2b404ad012b40p+0, -0x1.3fb45a59928ccp-3, 0x1.d87e6a354d056p-57},
    {0x1.b800000000000p-1, 0x1.29e4129e4129ep+0, -0x1.365fcb0159016p-3, -0x1.7d411a5b944adp-58},
    {0x1.ba00000000000p-1, 0x1.288b01288b013p+0, -0x1.2d1610c86813ap-3, 0x1.499a3f25af95fp-58},
    {0x1.bc00000000000p-1, 0x1.27350b8812735p+0, -0x1.23d712a49c202p-3, 0x1.6e38161051d69p-57},
    {0x1.be00000000000p-1, 0x1.25e22708092f1p+0, -0x1.1aa2b7e23f72ap-3, 0x1.c6ef1d9b2ef7ep-59},
    {0x1.c000000000000p-1, 0x1.2492492492492p+0, -0x1.1178e8227e47cp-3, 0x1.0e63a5f01c691p-58},
    {0x1.c200000000000p-1, 0x1.23456789abcdfp+0, -0x1.08598b59e3a07p-3, 0x1.dd7009902bf32p-57},
    {0x1.c400000000000p-1, 0x1.21fb78121fb78p+0, -0x1.fe89139dbd566p-4, 0x1.ac9f4215f9393p-58},
    {0x1.c600000000000p-1, 0x1.20b470c67c0d9p+0, -0x1.ec739830a1120p-4, 0x1.a2bf991780d3fp-59},
    {0x1.c800000000000p-1, 0x1.1f7047dc11f70p+0, -0x1.da727638446a2p-4, -0x1.401fa71733019p-58},
    {0x1.ca00000000000p-1, 0x1.1e2ef3b3fb874p+0, -0x1.c885801bc4b23p-4, -0x1.a38cb559a6706p-58},
    {0x1.cc00000000000p-1, 0x1.1cf06ada2811dp+0, -0x1.b6ac88dad5b1cp-4, 0x1.0057eed1ca59fp-59},
    {0x1.ce00000000000p-1, 0x1.1bb4a4046ed29p+0, -0x1.a4e7640b1bc38p-4, 0x1.5b5ca203e4259p-58},
    {0x1.d000000000000p-1, 0x1.1a7b9611a7b96p+0, -0x1.9335e5d594989p-4, 0x1.478a85704ccb7p-58},
    {0x1.d200000000000p-1, 0x1.19453808ca29cp+0, -0x1.8197e2f40e3f0p-4, -0x1.b9f2dffbeed43p-60},
    {0x1.d400000000000p-1, 0x1.1811811811812p+0, -0x1.700d30aeac0e1p-4, 0x1.72566212cdd05p-61},
    {0x1.d600000000000p-1, 0x1.16e0689427379p+0, -0x1.5e95a4d9791cbp-4, -0x1.f38745c5c450ap-58},
    {0x1.d800000000000p-1, 0x1.15b1e5f75270dp+0, -0x1.4d3115d207eacp-4, -0x1.769f42c7842ccp-58},
    {0x1.da00000000000p-1, 0x1.1485f0e0acd3bp+0, -0x1.3bdf5a7d1ee64p-4, -0x1.7a976d3b5b45fp-59},
    {0x1.dc00000000000p-1, 0x1.135c81135c811p+0, -0x1.2aa04a44717a5p-4, 0x1.d15d38d2fa3f7p-58},
    {0x1.de00000000000p-1, 0x1.12358e75d3033p+0, -0x1.1973bd1465567p-4, 0x1.7558367a6acf6p-59},
    {0x1.e000000000000p-1, 0x1.1111111111111p+0, -0x1.08598b59e3a07p-4, 0x1.dd7009902bf32p-58},
    {0x1.e200000000000p-1, 0x1.0fef010fef011p+0, -0x1.eea31c006b87cp-5, 0x1.3e4fc93b7b66cp-59},
    {0x1.e400000000000p-1, 0x1.0ecf56be69c90p+0, -0x1.ccb73cdddb2ccp-5, 0x1.e48fb0500efd4p-59},
    {0x1.e600000000000p-1, 0x1.0db20a88f4696p+0, -0x1.aaef2d0fb10fcp-5, -0x1.a353bb42e0addp-61},
    {0x1.e800000000000p-1, 0x1.0c9714fbcda3bp+0, -0x1.894aa149fb343p-5, -0x1.a8be97660a23dp-60},
    {0x1.ea00000000000p-1, 0x1.0b7e6ec259dc8p+0, -0x1.67c94f2d4bb58p-5, -0x1.0413e6505e603p-59},
    {0x1.ec00000000000p-1, 0x1.0a6810a6810a7p+0, -0x1.466aed42de3eap-5, 0x1.cdd6f7f4a137ep-59},
    {0x1.ee00000000000p-1, 0x1.0953f39010954p+0, -0x1.252f32f8d183fp-5, 0x1.947f792615916p-59},
    {0x1.f000000000000p-1, 0x1.0842108421084p+0, -0x1.0415d89e74444p-5, -0x1.c05cf1d753622p-59},
    {0x1.f200000000000p-1, 0x1.073260a47f7c6p+0, -0x1.c63d2ec14aaf2p-6, 0x1.ce030a686bd86p-60},
    {0x1.f400000000000p-1, 0x1.0624dd2f1a9fcp+0, -0x1.8492528c8cabfp-6, 0x1.d192d0619fa67p-60},
    {0x1.f600000000000p-1, 0x1.05197f7d73404p+0, -0x1.432a925980cc1p-6, 0x1.8cdaf39004192p-60},
    {0x1.f800000000000p-1, 0x1.0410410410410p+0, -0x1.0205658935847p-6, -0x1.27c8e8416e71fp-60},
    {0x1.fa00000000000p-1, 0x1.03091b51f5e1ap+0, -0x1.82448a388a2aap-7, -0x1.04b16137f09a0p-62},
    {0x1.fc00000000000p-1, 0x1.0204081020408p+0, -0x1.010157588de71p-7, -0x1.46662d417ced0p-62},
    {0x1.fe00000000000p-1, 0x1.0101010101010p+0, -0x1.0080559588b35p-8, -0x1.f96638cf63677p-62},
    {0x1.0000000000000p+0, 0x1.0000000000000p+0, 0x0.0p+0, 0x0.0p+0},
    {0x1.0200000000000p+0, 0x1.fc07f01fc07f0p-1, 0x1.fe02a6b106789p-8, -0x1.e44b7e3711ebfp-67},
    {0x1.0400000000000p+0, 0x1.f81f81f81f820p-1, 0x1.fc0a8b0fc03e4p-7, -0x1.83092c59642a1p-62},
    {0x1.0600000000000p+0, 0x1.f44659e4a4271p-1, 0x1.7b91b07d5b11bp-6, -0x1.5b602ace3a510p-60},
    {0x1.0800000000000p+0, 0x1.f07c1f07c1f08p-1, 0x1.f829b0e783300p-6, 0x1.33e3f04f1ef23p-60},
    {0x1.0a00000000000p+0, 0x1.ecc07b301ecc0p-1, 0x1.39e87b9febd60p-5, -0x1.5bfa937f551bbp-59},
    {0x1.0c00000000000p+0, 0x1.e9131abf0b767p-1, 0x1.77458f632dcfcp-5, 0x1.18d3ca87b9296p-59},
    {0x1.0e00000000000p+0, 0x1.e573ac901e574p-1, 0x1.b42dd711971bfp-5, -0x1.eb9759c130499p-60},
    {0x1.1000000000000p+0, 0x1.e1e1e1e1e1e1ep-1, 0x1.f0a30c01162a6p-5, 0x1.85f325c5bbacdp-59},
    {0x1.1200000000000p+0, 0x1.de5d6e3f8868ap-1, 0x1.16536eea37ae1p-4, -0x1.79da3e8c22cdap-60},
    {0x1.1400000000000p+0, 0x1.dae6076b981dbp-1, 0x1.341d7961bd1d1p-4, -0x1.b599f227becbbp-58},
    {0x1.1600000000000p+0, 0x1.d77b654b82c34p-1, 0x1.51b073f06183fp-4, 0x1.a49e39a1a8be4p-58},
    {0x1.1800000000000p+0, 0x1.d41d41d41d41dp-1, 0x1.6f0d28ae56b4cp-4, -0x1.906d99184b992p-58},
    {0x1.1a00000000000p+0, 0x1.d0cb58f6ec074p-1, 0x1.8c345d6319b21p-4, -0x1.4a697ab3424a9p-61},
    {0x1.1c00000000000p+0, 0x1.cd85689039b0bp-1, 0x1.a926d3a4ad563p-4, 0x1.942f48aa70ea9p-58},
    {0x1.1e00000000000p+0, 0x1.ca4b3055ee191p-1, 0x1.c5e548f5bc743p-4, 0x1.5d617ef8161b1p-60},
    {0x1.2000000000000p+0, 0x1.c71c71c71c71cp-1, 0x1.e27076e2af2e6p-4, -0x1.61578001e0162p-60},
    {0x1.2200000000000p+0, 0x1.c3f8f01c3f8f0p-1, 0x1.fec9131dbeabbp-4, -0x1.5746b9981b36cp-58},
    {0x1.2400000000000p+0, 0x1.c0e070381c0e0p-1, 0x1.0d77e7cd08e59p-3, 0x1.9a5dc5e9030acp-57},
    {0x1.2600000000000p+0, 0x1.bdd2b899406f7p-1, 0x1.1b72ad52f67a0p-3, 0x1.483023472cd74p-58},
    {0x1.2800000000000p+0, 0x1.bacf914c1bad0p-1, 0x1.29552f81ff523p-3, 0x1.301771c407dbfp-57},
    {0x1.2a00000000000p+0, 0x1.b7d6c3dda338bp-1, 0x1.371fc201e8f74p-3, 0x1.de6cb62af18a0p-58},
    {0x1.2c00000000000p+0, 0x1.b4e81b4e81b4fp-1, 0x1.44d2b6ccb7d1ep-3, 0x1.9f4f6543e1f88p-57},
    {0x1.2e00000000000p+0, 0x1.b2036406c80d9p-1, 0x1.526e5e3a1b438p-3, -0x1.746ff8a470d3ap-57},
    {0x1.3000000000000p+0, 0x1.af286bca1af28p-1, 0x1.5ff3070a793d4p-3, -0x1.bc60efafc6f6ep-58},
    {0x1.3200000000000p+0, 0x1.ac5701ac5701bp-1, 0x1.6d60fe719d21dp-3, -0x1.caae268ecd179p-57},
    {0x1.3400000000000p+0, 0x1.a98ef606a63bep-1, 0x1.7ab890210d909p-3, 0x1.be36b2d6a0608p-59},
    {0x1.3600000000000p+0, 0x1.a6d01a6d01a6dp-1, 0x1.87fa06520c911p-3, -0x1.bf7fdbfa08d9ap-57},
    {0x1.3800000000000p+0, 0x1.a41a41a41a41ap-1, 0x1.9525a9cf456b4p-3, 0x1.d904c1d4e2e26p-57},
    {0x1.3a00000000000p+0, 0x1.a16d3f97a4b02p-1, 0x1.a23bc1fe2b563p-3, 0x1.93711b07a998cp-59},
    {0x1.3c00000000000p+0, 0x1.9ec8e951033d9p-1, 0x1.af3c94e80bff3p-3, -0x1.398cff3641985p-58},
    {0x1.3e00000000000p+0, 0x1.9c2d14ee4a102p-1, 0x1.bc286742d8cd6p-3, 0x1.4fce744870f55p-58},
    {0x1.4000000000000p+0, 0x1.999999999999ap-1, 0x1.c8ff7c79a9a22p-3, -0x1.4f689f8434012p-57},
    {0x1.4200000000000p+0, 0x1.970e4f80cb872p-1, 0x1.d5c216b4fbb91p-3, 0x1.6e443597e4d40p-57},
    {0x1.4400000000000p+0, 0x1.948b0fcd6e9e0p-1, 0x1.e27076e2af2e6p-3, -0x1.61578001e0162p-59},
    {0x1.4600000000000p+0, 0x1.920fb49d0e229p-1, 0x1.ef0adcbdc5936p-3, 0x1.48637950dc20dp-57},
    {0x1.4800000000000p+0, 0x1.8f9c18f9c18fap-1, 0x1.fb9186d5e3e2bp-3, -0x1.caaae64f21acbp-57},
    {0x1.4a00000000000p+0, 0x1.8d3018d3018d3p-1, 0x1.0402594b4d041p-2, -0x1.28ec217a5022dp-57},
    {0x1.4c00000000000p+0, 0x1.8acb90f6bf3aap-1, 0x1.0a324e27390e3p-2, 0x1.7dcfde8061c03p-56},
    {0x1.4e00000000000p+0, 0x1.886e5f0abb04ap-1, 0x1.1058bf9ae4ad5p-2, 0x1.89fa0ab4cb31dp-58},
    {0x1.5000000000000p+0, 0x1.8618618618618p-1, 0x1.1675cababa60ep-2, 0x1.ce63eab883717p-61},
    {0x1.5200000000000p+0, 0x1.83c977ab2beddp-1, 0x1.1c898c16999fbp-2, -0x1.0e5c62aff1c44p-60},
    {0x1.5400000000000p+0, 0x1.8181818181818p-1, 0x1.22941fbcf7966p-2, -0x1.76f5eb09628afp-56},
    {0x1.5600000000000p+0, 0x1.7f405fd017f40p-1, 0x1.2895a13de86a3p-2, 0x1.7ad24c13f040ep-56},
    {0x1.5800000000000p+0, 0x1.7d05f417d05f4p-1, 0x1.2e8e2bae11d31p-2, -0x1.8f4cdb95ebdf9p-56},
    {0x1.5a00000000000p+0, 0x1.7ad2208e0ecc3p-1, 0x1.347dd9a987d55p-2, -0x1.4dd4c580919f8p-57},
    {0x1.5c00000000000p+0, 0x1.78a4c8178a4c8p-1, 0x1.3a64c556945eap-2, -0x1.c68651945f97cp-57},
    {0x1.5e00000000000p+0, 0x1.767dce434a9b1p-1, 0x1.404308686a7e4p-2, -0x1.0bcfb6082ce6dp-56},
    {0x1.6000000000000p+0, 0x1.745d1745d1746p-1, 0x1.4618bc21c5ec2p-2, 0x1.f42decdeccf1dp-56},
    {0x1.6200000000000p+0, 0x1.724287f46debcp-1, 0x1.4be5f957778a1p-2, -0x1.259b35b04813dp-57},
    {0x1.6400000000000p+0, 0x1.702e05c0b8170p-1, 0x1.51aad872df82dp-2, 0x1.3927ac19f55e3p-59},
    {0x1.6600000000000p+0, 0x1.6e1f76b4337c7p-1, 0x1.5767717455a6cp-2, 0x1.526adb283660cp-56},
    {0x1.6800000000000p+0, 0x1.6c16c16c16c17p-1, 0x1.5d1bdbf5809cap-2, 0x1.4236383dc7fe1p-56},
    {0x1.6a00000000000p+0, 0x1.6a13cd1537290p-1, 0x1.62c82f2b9c795p-2, 0x1.7b7af915300e5p-57},
};

// Coefficients of asin w = sum c_k w^(2k+1), c_k = (2k)! / (4^k (k!)^2 (2k+1)).
constexpr int kAsinTerms = 28;
constexpr std::array<double, kAsinTerms> kAsinSeries = [] {
    std::array<double, kAsinTerms> c{};
    double central = 1.0;  // (2k)! / (4^k (k!)^2)
    for (int k = 0; k < kAsinTerms; ++k) {
        c[static_cast<size_t>(k)] = central / (2 * k + 1);
        central = central * (2 * k + 1) / (2 * k + 2);
    }
    return c;
}();

// (asin w - w) / w^3 as a series in z = w^2.
double asinTail(double z)
{
    double p = kAsinSeries[kAsinTerms - 1];
    for (size_t k = kAsinTerms - 1; k-- > 1;)
        p = p * z + kAsinSeries[k];
    return p;
}

// (-1)^k / (2k+o)!: o = 1 gives sin r / r, o = 0 cos r, as series in r^2,
// ten terms for |r| <= pi/4.
constexpr std::array<double, 10> alternatingFactorialSeries(int o)
{
    std::array<double, 10> c{};
    double f = 1.0;
    for (int k = 0; k < 10; ++k) {
        c[static_cast<size_t>(k)] = (k % 2 == 0 ? 1.0 : -1.0) / f;
        f *= (2 * k + 1 + o) * (2 * k + 2 + o);
    }
    return c;
}
constexpr std::array<double, 10> kSinSeries = alternatingFactorialSeries(1);
constexpr std::array<double, 10> kCosSeries = alternatingFactorialSeries(0);

template <size_t N>
inline double horner(const std::array<double, N> &c, double z)
{
    double p = c[N - 1];
    for (size_t k = N - 1; k-- > 0;)
        p = p * z + c[k];
    return p;
}

// (-1)^k (zeta(k) - 1) / k, k = 2..29: lgamma(2+t) = (1 - Euler's
// constant) t + sum of these times t^k, to 3e-20 for |t| <= 1/2.
constexpr double kOneMinusEuler = 0x1.b0ee6072093cep-2;
constexpr std::array<double, 28> kLgammaSeries = {
    0x1.4a34cc4a60fa6p-2,  -0x1.13e001a557607p-4, 0x1.51322ac7d8483p-6,  -0x1.e404fc218f5f2p-8,
    0x1.7add6eadb6c30p-9,  -0x1.38ac5c2bf8e08p-10, 0x1.0b36af86396e9p-11, -0x1.d3fd4c76d2fc8p-13,
    0x1.a127b0f17d65ap-14, -0x1.78de5bd7c81efp-15, 0x1.580dcee66eb02p-16, -0x1.3cbc963ce2243p-17,
    0x1.2597a39f34aacp-18, -0x1.11b2eb7679541p-19, 0x1.0064cdeb22f0fp-20, -0x1.e2600d93cfd2fp-22,
    0x1.c76bbb3f07a4dp-23, -0x1.af5a6cbbf8a97p-24, 0x1.99b93c2070b0fp-25, -0x1.862c734df3eacp-26,
    0x1.7469daccfadcdp-27, -0x1.6434a8447aeadp-28, 0x1.555a877ffd2c3p-29, -0x1.47b1679258d0ep-30,
    0x1.3b15d2b2fc10cp-31, -0x1.2f69a9fabe3e0p-32, 0x1.24932a337434cp-33, -0x1.1a7c26ec2523cp-34,
};

// Stirling's series to z^-15 for z >= 15, whose next term is below 1e-19.
double lgammaStirling(double x)
{
    constexpr double kHalfLog2Pi = 0.91893853320467274178;
    const double z2 = 1.0 / (x * x);
    const double series =
        (1.0 / 12.0 +
         z2 * (-1.0 / 360.0 +
               z2 * (1.0 / 1260.0 +
                     z2 * (-1.0 / 1680.0 +
                           z2 * (1.0 / 1188.0 + z2 * (-691.0 / 360360.0 + z2 * (1.0 / 156.0 + z2 * (-3617.0 / 122400.0)))))))) /
        x;
    return (x - 0.5) * (detLog(x) - 1.0) - 0.5 + kHalfLog2Pi + series;
}

}  // namespace

double detExp(double x)
{
    if (!(x == x))
        return x;
    if (x > 709.782712893384)
        return kInf;
    if (x < -745.1332191019412)
        return 0.0;
    // x = (64 m + j) ln2/64 + r with |r| <= ln2/128, so
    // exp(x) = 2^m 2^(j/64) exp(r), exp(r) - 1 from its Taylor series to r^5
    // (the first term left out is below 4e-17 relative).
    constexpr double kInvLn2N = 0x1.71547652b82fep+6;  // 64 / ln 2
    const double kd = roundNearest(x * kInvLn2N);
    const double r = (x - kd * (kLn2Hi / 64.0)) - kd * (kLn2Lo / 64.0);
    const auto k = static_cast<int64_t>(kd);
    const double t = kExp2Table[static_cast<size_t>(k & 63)];
    const double p = r + r * r * (0.5 + r * (1.0 / 6.0 + r * (1.0 / 24.0 + r * (1.0 / 120.0))));
    return scaleByPowerOfTwo(t + t * p, k >> 6);
}

double detLog(double x)
{
    if (!(x > 0.0)) {
        if (x == 0.0)
            return -kInf;
        return kNaN;  // negative or NaN
    }
    if (x == kInf)
        return x;
    int64_t e = 0;
    if (x < 0x1p-1022) {
        x *= 0x1p54;
        e = -54;
    }
    const uint64_t b = bitsOf(x);
    const uint64_t offset = b - kLogOffset;
    const LogTableRow &t = kLogTable[(offset >> 45) & 127];
    e += static_cast<int64_t>(offset) >> 52;
    const double m = fromBits(b - (offset & (0xfffULL << 52)));
    const double r = (m - t.c) * t.invc;
    // log(1+r) - r, in Estrin's order: the log sits once per site pattern in
    // the likelihood's inner loop, where a short dependency chain counts.
    const double r2 = r * r;
    const double p = r2 * ((-0.5 + r * (1.0 / 3.0)) + r2 * ((-0.25 + r * 0.2) + r2 * (-1.0 / 6.0 + r * (1.0 / 7.0))));
    const auto ed = static_cast<double>(e);
    return (ed * kLn2Hi + t.logc) + (r + (p + (ed * kLn2Lo + t.logcLo)));
}

double detLog1p(double x)
{
    // log(u) (u-1)/x corrects the rounding of u = 1 + x to first order.
    const double u = 1.0 + x;
    if (u == 1.0)
        return x;
    if (u == kInf || !(u > 0.0))
        return detLog(u);
    return detLog(u) * (x / (u - 1.0));
}

double detPow(double x, double y)
{
    if (y == 0.0 || x == 1.0)
        return 1.0;
    if (!(x == x) || !(y == y))
        return kNaN;
    const bool integral = std::fabs(y) < 0x1p53 && roundNearest(y) == y;
    if (integral && std::fabs(y) <= 64.0) {
        // Binary powering: at most a dozen correctly rounded products.
        auto n = static_cast<uint64_t>(std::fabs(y));
        double base = x, result = 1.0;
        while (n != 0) {
            if (n & 1U)
                result *= base;
            base *= base;
            n >>= 1;
        }
        return y < 0.0 ? 1.0 / result : result;
    }
    if (x < 0.0) {
        if (!integral)
            return kNaN;
        const bool odd = std::fabs(y) < 0x1p52 && std::fmod(y, 2.0) != 0.0;
        const double m = detPow(-x, y);
        return odd ? -m : m;
    }
    if (x == 0.0)
        return y > 0.0 ? 0.0 : kInf;
    return detExp(y * detLog(x));
}

double detLgamma(double x)
{
    if (!(x > 0.0))
        return x == x ? kInf : x;
    if (x == 1.0 || x == 2.0)
        return 0.0;
    if (x == kInf)
        return kInf;
    if (x >= 15.0)
        return lgammaStirling(x);
    // Below 1.5: Gamma(x) = Gamma(x+n) / (x ... (x+n-1)); above 2.5:
    // Gamma(x) = (x-1) ... (x-n) Gamma(x-n); both land in [1.5, 2.5], where
    // the series about 2 keeps its accuracy near the zero at 2 (and, with
    // the one division by x, near the zero at 1).
    // t = x - 2 after the shifts, formed where it is exact.
    double below = 1.0, above = 1.0, t;
    if (x < 1.5) {
        while (x < 0.5) {
            below *= x;
            x += 1.0;
        }
        below *= x;
        t = x - 1.0;
    } else {
        while (x > 2.5) {
            x -= 1.0;
            above *= x;
        }
        t = x - 2.0;
    }
    const double series = t * (kOneMinusEuler + t * horner(kLgammaSeries, t));
    return series + (detLog(above) - detLog(below));
}

double detSin(double x)
{
    if (!(std::fabs(x) < kInf))
        return kNaN;
    constexpr double kTwoPi = 6.28318530717958647692;
    if (std::fabs(x) > 0x1p20)
        x = std::fmod(x, kTwoPi);  // exact; no accuracy is claimed this far out
    // x = k pi/2 + r, |r| <= pi/4, pi/2 in three parts (the first with 33
    // significant bits, so k times it is exact).
    constexpr double kInvPio2 = 6.36619772367581382433e-01;
    constexpr double kPio2A = 1.57079632673412561417e+00;
    constexpr double kPio2B = 6.07710050630396597660e-11;
    constexpr double kPio2C = 2.02226624879595063154e-21;
    const double kd = roundNearest(x * kInvPio2);
    const double r = ((x - kd * kPio2A) - kd * kPio2B) - kd * kPio2C;
    const double z = r * r;
    const auto quadrant = static_cast<int64_t>(kd) & 3;
    const double v = (quadrant & 1) ? horner(kCosSeries, z) : r * horner(kSinSeries, z);
    return (quadrant & 2) ? -v : v;
}

double detAsin(double x)
{
    const double a = std::fabs(x);
    if (!(a <= 1.0))
        return kNaN;
    double v;
    if (a <= 0.5) {
        v = a + a * (a * a) * asinTail(a * a);
    } else {
        // asin a = pi/2 - 2 asin sqrt((1-a)/2), with (1-a)/2 exact.
        constexpr double kPio2Hi = 1.57079632679489655800e+00;
        constexpr double kPio2Lo = 6.12323399573676603587e-17;
        const double w = std::sqrt((1.0 - a) * 0.5);
        v = kPio2Hi - (2.0 * (w + w * (w * w) * asinTail(w * w)) - kPio2Lo);
    }
    return x < 0.0 ? -v : v;
}
