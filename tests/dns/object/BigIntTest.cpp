#include "dns/object/BigInt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/NamedException.h"

using DnsObjects::BigInt;

namespace {

BigInt dec(const std::string& text) { return BigInt(text, 10); }

// Runs the call and returns "name / reason" of the exception it raised, or "" when none.
std::string raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const platform::NamedException& e) {
    return e.name() + " / " + e.reason();
  }
  return "";
}

TEST(BigIntText, ParsesAndPrintsInRadix) {
  struct Case {
    const char* text;
    int radix;
    int printRadix;
    const char* printed;
  } cases[] = {
      {"ff", 16, 16, "FF"},
      {"ff", 16, 10, "255"},
      {"-10", 10, 10, "-10"},
      {"5", 10, 2, "101"},
      {"0", 10, 10, "0"},
      {"zz", 36, 10, "1295"},
      {"18446744073709551616", 10, 16, "10000000000000000"},
      {"-18446744073709551617", 10, 16, "-10000000000000001"},
      {"11111111111111111111111111111111", 2, 16, "FFFFFFFF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BigInt(c.text, c.radix).toStringWithRadix(c.printRadix), c.printed) << c.text;
  }
}

TEST(BigIntText, RejectsBadDigitsAndRadix) {
  EXPECT_EQ(raised([] { BigInt("G", 16); }), "ArithmeticException / Invalid string in constructor.");
  EXPECT_EQ(raised([] { BigInt("12 3", 10); }), "ArithmeticException / Invalid string in constructor.");
  EXPECT_EQ(raised([] { BigInt(5).toStringWithRadix(37); }), "ArgumentException / Radix must be >= 2 and <= 36");
  EXPECT_EQ(raised([] { BigInt(5).toStringWithRadix(1); }), "ArgumentException / Radix must be >= 2 and <= 36");
}

TEST(BigIntText, TooLongTextOverflows) {
  std::string big(700, '9');  // about 2325 bits
  EXPECT_NE(raised([&] { BigInt(big, 10); }), "");
}

TEST(BigIntCreate, WordLayoutOfIntegers) {
  BigInt minusOne(int64_t{-1});
  EXPECT_EQ(minusOne.dataLength(), 70);
  for (int i = 0; i < 70; ++i) EXPECT_EQ(minusOne.getDataAtIndex(i), 0xFFFFFFFFu);
  EXPECT_EQ(minusOne.toStringWithRadix(10), "-1");

  BigInt top(uint64_t{1} << 63);
  EXPECT_EQ(top.dataLength(), 2);
  EXPECT_EQ(top.toStringWithRadix(10), "9223372036854775808");

  EXPECT_EQ(BigInt().dataLength(), 1);
  EXPECT_TRUE(BigInt::create().isZero());
  EXPECT_EQ(BigInt(int64_t{INT64_MIN}).toStringWithRadix(10), "-9223372036854775808");
}

TEST(BigIntCreate, WordArrayIsMostSignificantFirst) {
  const uint32_t words[] = {1, 0};
  BigInt value(words, 2);
  EXPECT_EQ(value.toStringWithRadix(16), "100000000");
  const uint32_t zeros[] = {0, 0, 7};
  EXPECT_EQ(BigInt(zeros, 3).dataLength(), 1);

  std::vector<uint32_t> tooMany(71, 1);
  EXPECT_EQ(raised([&] { BigInt(tooMany.data(), 71); }), "ArithmaticException / Byte overflow in constructor");
}

TEST(BigIntCreate, SettersCheckBounds) {
  BigInt value;
  EXPECT_EQ(raised([&] { value.setData(1, 70); }), "ArgumentException / Index out of range.");
  EXPECT_EQ(raised([&] { value.setData(1, -1); }), "ArgumentException / Index out of range.");
  EXPECT_EQ(raised([&] { value.getDataAtIndex(70); }), "ArgumentException / Index out of range.");
  EXPECT_EQ(raised([&] { value.setDataLength(0); }), "ArgumentException / Length out of range.");
  EXPECT_EQ(raised([&] { value.setDataLength(71); }), "ArgumentException / Length out of range.");
  value.setData(9, 1);
  value.setDataLength(2);
  EXPECT_EQ(value.toStringWithRadix(16), "900000000");
}

TEST(BigIntArithmetic, DivisionAndRemainderSigns) {
  struct Case {
    const char *a, *b, *quotient, *remainder;
  } cases[] = {
      {"-7", "2", "-3", "-1"},
      {"7", "-2", "-3", "1"},
      {"-7", "-2", "3", "-1"},
      {"3", "7", "0", "3"},
      {"-3", "7", "0", "-3"},
      {"123456789012345678901234567890", "987654321", "124999998873437499901", "574845669"},
      {"340282366920938463463374607431768211455", "18446744073709551617", "18446744073709551615", "0"},
      {"340282366920938463463374607431768211457", "79228162514264337593543950337", "4294967295", "79228162514264337589248983042"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dec(c.a).divide(dec(c.b)).toStringWithRadix(10), c.quotient) << c.a << " / " << c.b;
    EXPECT_EQ(dec(c.a).mod(dec(c.b)).toStringWithRadix(10), c.remainder) << c.a << " % " << c.b;
  }
}

TEST(BigIntArithmetic, MultiWordDivisionRoundTrips) {
  // q * d + r rebuilt from the results for divisors of several word counts.
  const BigInt dividend = dec("98765432109876543210987654321098765432109876543210987654321");
  for (const char* d : {"4294967296", "18446744073709551557", "340282366920938463463374607431768211297",
                        "79228162514264337593543950335", "4294967297"}) {
    const BigInt divisor = dec(d);
    const BigInt q = dividend.divide(divisor);
    const BigInt r = dividend.mod(divisor);
    EXPECT_TRUE(r.lessThan(divisor)) << d;
    EXPECT_TRUE(q.multiply(divisor).add(r).equals(dividend)) << d;
  }
}

TEST(BigIntArithmetic, DivisionByZeroRaises) {
  EXPECT_EQ(raised([] { BigInt(5).divide(BigInt(0)); }), "ArithmeticException / Division by zero.");
  EXPECT_EQ(raised([] { BigInt(5).mod(BigInt(0)); }), "ArithmeticException / Division by zero.");
  EXPECT_EQ(raised([] { BigInt(5).modPow(BigInt(3), BigInt(0)); }), "ArithmeticException / Division by zero.");
}

TEST(BigIntArithmetic, AddSubtractMultiplyNegate) {
  EXPECT_EQ(dec("4294967295").add(BigInt(1)).toStringWithRadix(16), "100000000");
  EXPECT_EQ(BigInt(1).subtract(BigInt(3)).toStringWithRadix(10), "-2");
  EXPECT_EQ(BigInt(-3).subtract(BigInt(-5)).toStringWithRadix(10), "2");
  EXPECT_EQ(BigInt(-6).multiply(BigInt(7)).toStringWithRadix(10), "-42");
  EXPECT_EQ(BigInt(-6).multiply(BigInt(-7)).toStringWithRadix(10), "42");
  EXPECT_EQ(dec("18446744073709551616").multiply(dec("18446744073709551616")).toStringWithRadix(16),
            "100000000000000000000000000000000");
  EXPECT_TRUE(BigInt(0).negate().isZero());
  EXPECT_EQ(BigInt(5).negate().toStringWithRadix(10), "-5");
  EXPECT_EQ(BigInt(-5).abs().toStringWithRadix(10), "5");
}

TEST(BigIntArithmetic, OverflowsRaise) {
  const BigInt maxPositive = BigInt(int64_t{-1}).shiftRight(1);  // words all ones except the sign bit
  const BigInt mostNegative = maxPositive.bitNot();
  EXPECT_TRUE(mostNegative.isNegative());
  EXPECT_EQ(raised([&] { maxPositive.add(BigInt(1)); }), "ArithmeticException / Overflow");
  EXPECT_EQ(raised([&] { mostNegative.subtract(BigInt(1)); }), "ArithmeticException / Overflow");
  EXPECT_EQ(raised([&] { mostNegative.negate(); }), "ArithmeticException / Overflow in negation.");
  EXPECT_EQ(raised([&] { maxPositive.multiply(BigInt(2)); }), "ArithmeticException / overflow.");
  const BigInt half = BigInt(1).shiftLeft(36 * 32);
  EXPECT_EQ(raised([&] { half.multiply(half); }), "ArithmeticException / Multiplication overflow.");
  // The most negative value is a valid product of operands with different signs.
  const BigInt halfRange = BigInt(1).shiftLeft(2238);
  EXPECT_TRUE(halfRange.multiply(BigInt(-2)).equals(mostNegative));
}

TEST(BigIntBits, ShiftsWidenAndTrim) {
  BigInt top(uint64_t{0x80000000u});
  BigInt doubled = top.shiftLeft(1);
  EXPECT_EQ(doubled.dataLength(), 2);
  EXPECT_EQ(doubled.toStringWithRadix(16), "100000000");
  EXPECT_EQ(BigInt(1).shiftLeft(32).toStringWithRadix(16), "100000000");
  EXPECT_EQ(BigInt(1).shiftLeft(100).shiftRight(99).toStringWithRadix(10), "2");
  EXPECT_TRUE(BigInt(1).shiftLeft(2240).isZero());
  EXPECT_TRUE(BigInt(12345).shiftRight(5000).isZero());
  EXPECT_EQ(BigInt(7).shiftLeft(-3).toStringWithRadix(10), "7");
  // No sign extension on the right.
  EXPECT_FALSE(BigInt(-8).shiftRight(1).isNegative());

  uint32_t words[3] = {0xFFFFFFFFu, 0, 0};
  EXPECT_EQ(BigInt::shiftLeft(words, 3, 4), 2);
  EXPECT_EQ(words[0], 0xFFFFFFF0u);
  EXPECT_EQ(words[1], 0xFu);
  EXPECT_EQ(BigInt::shiftRight(words, 3, 36), 1);
  EXPECT_EQ(words[0], 0u);
}

TEST(BigIntBits, LogicAndCounts) {
  EXPECT_EQ(BigInt(12).bitAnd(BigInt(10)).toStringWithRadix(10), "8");
  EXPECT_EQ(BigInt(12).bitOr(BigInt(10)).toStringWithRadix(10), "14");
  EXPECT_EQ(BigInt(12).xOr(BigInt(10)).toStringWithRadix(10), "6");
  EXPECT_EQ(BigInt(0).bitNot().toStringWithRadix(10), "-1");
  BigInt zero, five(5), big(uint64_t{1} << 32);
  EXPECT_EQ(zero.bitCount(), 0);
  EXPECT_EQ(five.bitCount(), 3);
  EXPECT_EQ(big.bitCount(), 33);
}

TEST(BigIntCompare, BySignThenWords) {
  EXPECT_TRUE(BigInt(-1).lessThan(BigInt(0)));
  EXPECT_TRUE(BigInt(0).greaterThan(BigInt(-1)));
  EXPECT_TRUE(BigInt(-2).lessThan(BigInt(-1)));
  EXPECT_TRUE(dec("4294967296").greaterThan(BigInt(5)));
  EXPECT_TRUE(BigInt(5).lessThanOrEqualTo(BigInt(5)));
  EXPECT_TRUE(BigInt(5).greaterThanOrEqualTo(BigInt(5)));
  EXPECT_FALSE(BigInt(5).greaterThan(BigInt(5)));
  EXPECT_TRUE(BigInt(5).equals(dec("5")));
}

TEST(BigIntNumberTheory, SqrtGcdModPow) {
  EXPECT_EQ(dec("1000000").sqrt().toStringWithRadix(10), "1000");
  EXPECT_EQ(dec("999999").sqrt().toStringWithRadix(10), "999");
  EXPECT_EQ(dec("18446744073709551616").sqrt().toStringWithRadix(10), "4294967296");
  EXPECT_TRUE(BigInt(-9).sqrt().isZero());
  EXPECT_TRUE(BigInt(0).sqrt().isZero());
  EXPECT_EQ(BigInt(-12).gcd(BigInt(18)).toStringWithRadix(10), "6");
  EXPECT_EQ(BigInt(4).modPow(BigInt(13), BigInt(497)).toStringWithRadix(10), "445");
  EXPECT_EQ(BigInt(-4).modPow(BigInt(13), BigInt(497)).toStringWithRadix(10), "-445");
  EXPECT_EQ(BigInt(7).modPow(BigInt(0), BigInt(13)).toStringWithRadix(10), "1");
  EXPECT_EQ(dec("123456789123456789").modPow(dec("987654321987654321"), dec("1000000000000000000000007"))
                .toStringWithRadix(10),
            "409281536244970497296763");
  EXPECT_EQ(raised([] { BigInt(4).modPow(BigInt(-1), BigInt(497)); }), "ArithmeticException / Positive exponents only.");
}

TEST(BigIntNumberTheory, SqrtAtTheTopOfTheCapacity) {
  const BigInt maxPositive = BigInt(int64_t{-1}).shiftRight(1);
  const BigInt top = BigInt(1).shiftLeft(2238);  // the highest bit below the sign
  EXPECT_TRUE(top.sqrt().equals(BigInt(1).shiftLeft(1119)));
  for (const BigInt& value : {top.subtract(BigInt(1)), top, top.add(BigInt(12345)), maxPositive.subtract(BigInt(1)),
                              maxPositive}) {
    BigInt root;
    ASSERT_EQ(raised([&] { root = value.sqrt(); }), "");
    // root^2 <= value < (root + 1)^2, without squaring past the capacity.
    const BigInt square = root.multiply(root);
    EXPECT_TRUE(square.lessThanOrEqualTo(value));
    EXPECT_TRUE(value.subtract(square).lessThanOrEqualTo(root.shiftLeft(1)));
  }
}

TEST(BigIntArithmetic, DivisionOfTheMostNegativeValue) {
  const BigInt maxPositive = BigInt(int64_t{-1}).shiftRight(1);
  const BigInt mostNegative = maxPositive.bitNot();
  const BigInt halfMagnitude = BigInt(1).shiftLeft(2238);
  EXPECT_TRUE(mostNegative.divide(BigInt(1)).equals(mostNegative));
  EXPECT_TRUE(mostNegative.divide(BigInt(2)).equals(BigInt(0).subtract(halfMagnitude)));
  EXPECT_TRUE(mostNegative.divide(BigInt(-2)).equals(halfMagnitude));
  EXPECT_TRUE(mostNegative.divide(mostNegative).isOne());
  EXPECT_TRUE(mostNegative.divide(maxPositive).equals(BigInt(-1)));
  EXPECT_TRUE(mostNegative.mod(maxPositive).equals(BigInt(-1)));
  EXPECT_TRUE(mostNegative.mod(mostNegative).isZero());
  EXPECT_TRUE(mostNegative.mod(BigInt(2)).isZero());
  EXPECT_TRUE(BigInt(5).divide(mostNegative).isZero());
  EXPECT_TRUE(BigInt(-5).mod(mostNegative).equals(BigInt(-5)));
  EXPECT_TRUE(maxPositive.divide(mostNegative).isZero());
  EXPECT_TRUE(maxPositive.mod(mostNegative).equals(maxPositive));
  // The one quotient past the capacity, 2^2239, wraps around to the most negative value.
  EXPECT_TRUE(mostNegative.divide(BigInt(-1)).equals(mostNegative));

  // q * d + r rebuilds the dividend; the remainder takes the dividend's sign and is smaller than the divisor.
  for (const char* d : {"3", "-7", "4294967295", "18446744073709551617", "-340282366920938463463374607431768211297"}) {
    const BigInt divisor = dec(d);
    BigInt q, r;
    ASSERT_EQ(raised([&] { q = mostNegative.divide(divisor), r = mostNegative.mod(divisor); }), "") << d;
    EXPECT_TRUE(q.multiply(divisor).add(r).equals(mostNegative)) << d;
    EXPECT_TRUE(r.isNegative()) << d;
    EXPECT_TRUE(r.abs().lessThan(divisor.abs())) << d;
  }
}

TEST(BigIntArithmetic, FullCapacityOperandsStayInBounds) {
  // Largest positive value: 70 words with the sign bit clear.
  const BigInt maxPositive = BigInt(int64_t{-1}).shiftRight(1);
  const BigInt divisor = dec("340282366920938463463374607431768211297");
  const BigInt q = maxPositive.divide(divisor);
  const BigInt r = maxPositive.mod(divisor);
  EXPECT_TRUE(q.multiply(divisor).add(r).equals(maxPositive));
  EXPECT_TRUE(maxPositive.divide(maxPositive).isOne());
  EXPECT_TRUE(maxPositive.mod(maxPositive.subtract(BigInt(1))).isOne());
  // Barrett reduction needs twice the modulus' words: a 35-word modulus cannot be used.
  const BigInt wide = BigInt(1).shiftLeft(34 * 32).add(BigInt(1));
  EXPECT_EQ(raised([&] { BigInt(3).modPow(BigInt(5), wide); }),
            "ArithmeticException / Modulus too large for Barrett reduction.");
  const BigInt fits = BigInt(1).shiftLeft(33 * 32).add(BigInt(1));
  EXPECT_EQ(BigInt(3).modPow(BigInt(5), fits).toStringWithRadix(10), "243");
}

TEST(BigIntNumberTheory, ModPowMatchesRepeatedMultiplication) {
  const BigInt n = dec("340282366920938463463374607431768211297");
  const BigInt base = dec("123456789012345678901234567890");
  BigInt expected(1);
  for (int e = 0; e <= 40; ++e) {
    EXPECT_TRUE(base.modPow(BigInt(e), n).equals(expected)) << e;
    expected = expected.multiply(base).mod(n);
  }
}

TEST(BigIntNumberTheory, Jacobi) {
  EXPECT_EQ(BigInt::jacobi(BigInt(5), BigInt(21)), 1);
  EXPECT_EQ(BigInt::jacobi(BigInt(2), BigInt(7)), 1);
  EXPECT_EQ(BigInt::jacobi(BigInt(3), BigInt(7)), -1);
  EXPECT_EQ(BigInt::jacobi(BigInt(-1), BigInt(7)), -1);
  EXPECT_EQ(BigInt::jacobi(BigInt(7), BigInt(21)), 0);
  EXPECT_EQ(raised([] { BigInt::jacobi(BigInt(5), BigInt(20)); }),
            "ArgumentException / Jacobi defined only for odd integers.");
  const BigInt n(97);
  EXPECT_EQ(raised([&] { BigInt::lucasSequence(BigInt(1), BigInt(2), BigInt(4), n, BigInt(1), 0); }),
            "ArgumentException / Argument k must be odd.");
}

std::vector<bool> sieve(int limit) {
  std::vector<bool> prime(limit + 1, true);
  prime[0] = prime[1] = false;
  for (int i = 2; i * i <= limit; ++i)
    if (prime[i])
      for (int j = i * i; j <= limit; j += i) prime[j] = false;
  return prime;
}

TEST(BigIntPrimes, IsProbablePrimeMatchesSieve) {
  constexpr int kLimit = 30000;
  const auto prime = sieve(kLimit);
  for (int i = 0; i <= kLimit; ++i) ASSERT_EQ(BigInt(i).isProbablePrime(), prime[i]) << i;
}

TEST(BigIntPrimes, KnownValues) {
  struct Case {
    const char* value;
    bool prime;
  } cases[] = {
      {"2", true}, {"3", true}, {"1999", true}, {"2305843009213693951", true},
      {"1", false}, {"4", false}, {"561", false}, {"3996001", false},
      // Strong base-2 pseudoprimes: only the Lucas step rejects them.
      {"25326001", false}, {"3215031751", false}, {"2152302898747", false},
      {"170141183460469231731687303715884105727", true},
      {"340282366920938463463374607431768211297", true},
      {"-1999", true},
  };
  for (const auto& c : cases) EXPECT_EQ(dec(c.value).isProbablePrime(), c.prime) << c.value;
}

TEST(BigIntPrimes, RabinMillerFinishesOnSmallPrimes) {
  for (int p : {5, 7, 11, 13, 1999}) {
    EXPECT_TRUE(BigInt(p).rabinMillerTestWithConfidence(5)) << p;
    EXPECT_TRUE(BigInt(p).isProbablePrimeWithConfidence(5)) << p;
  }
  EXPECT_FALSE(BigInt(561).rabinMillerTestWithConfidence(10));
  EXPECT_FALSE(BigInt(9).isProbablePrimeWithConfidence(3));
  BigInt prime = BigInt::generatePseudoPrimeWithBits(64, 5);
  EXPECT_EQ(prime.bitCount(), 64);
  EXPECT_TRUE(prime.isProbablePrime());
}

TEST(BigIntRandom, ExactBitWidth) {
  BigInt value;
  for (int round = 0; round < 20; ++round) {
    value.getRandomBits(33);
    EXPECT_EQ(value.dataLength(), 2);
    EXPECT_EQ(value.getDataAtIndex(1), 1u);
  }
  value.getRandomBits(64);
  EXPECT_EQ(value.bitCount(), 64);
  value.getRandomBits(0);
  EXPECT_TRUE(value.isZero());
  value.getRandomBits(-5);
  EXPECT_TRUE(value.isZero());
  EXPECT_EQ(raised([&] { value.getRandomBits(2241); }), "ArithmeticException / Number of required bits > maxLength.");
}

}  // namespace
