#pragma once
// Fixed-capacity (70 x 32-bit words) two's-complement integer used by the
// IP address classes for base conversions. Operations return new values;
// failures raise platform::NamedException.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace DnsObjects {

class BigInt {
 public:
  static constexpr int maxLength = 70;

  BigInt();  // zero
  explicit BigInt(int32_t value);
  explicit BigInt(int64_t value);
  explicit BigInt(uint64_t value);
  // Most significant word first (the last element becomes word 0).
  BigInt(const uint32_t* words, int32_t size);
  BigInt(std::string_view text, int32_t radix);

  static BigInt create() { return createFromLong(0); }
  static BigInt createFromInt(int32_t value) { return BigInt(value); }
  static BigInt createFromLong(int64_t value) { return BigInt(value); }
  static BigInt createFromULong(uint64_t value) { return BigInt(value); }
  static BigInt createFromBigInt(const BigInt& other) { return BigInt(other); }
  static BigInt createFromString(std::string_view text, int32_t radix) { return BigInt(text, radix); }

  const std::array<uint32_t, maxLength>& getData() const { return data_; }
  uint32_t getDataAtIndex(int32_t index) const;
  void setData(uint32_t word, int32_t index);
  int32_t dataLength() const { return dataLength_; }
  void setDataLength(int32_t length);
  int32_t intValue() const { return static_cast<int32_t>(data_[0]); }

  BigInt add(const BigInt& other) const;
  BigInt subtract(const BigInt& other) const;
  BigInt multiply(const BigInt& other) const;
  BigInt negate() const;
  BigInt divide(const BigInt& other) const;
  BigInt bitNot() const;  // `not`
  BigInt shiftLeft(int32_t bits) const;
  BigInt shiftRight(int32_t bits) const;
  bool equals(const BigInt& other) const;
  bool greaterThan(const BigInt& other) const;
  bool lessThan(const BigInt& other) const;
  bool lessThanOrEqualTo(const BigInt& other) const { return lessThan(other) || equals(other); }
  bool greaterThanOrEqualTo(const BigInt& other) const { return greaterThan(other) || equals(other); }
  BigInt abs() const;
  BigInt sqrt() const;
  BigInt gcd(const BigInt& other) const;
  std::string toStringWithRadix(int32_t radix) const;
  BigInt mod(const BigInt& other) const;
  BigInt bitAnd(const BigInt& other) const;
  BigInt bitOr(const BigInt& other) const;
  BigInt xOr(const BigInt& other) const;
  int32_t bitCount();
  BigInt modPow(const BigInt& exponent, const BigInt& modulus) const;
  void getRandomBits(int32_t bits);
  bool isProbablePrimeWithConfidence(int32_t rounds) const;
  bool isProbablePrime() const;
  bool rabinMillerTestWithConfidence(int32_t rounds) const;

  bool isNegative() const { return (data_[maxLength - 1] & 0x80000000u) != 0; }
  bool isZero() const { return dataLength_ == 1 && data_[0] == 0; }
  bool isOne() const { return dataLength_ == 1 && data_[0] == 1; }

  // Word-array helpers; return the new length in use.
  static int32_t shiftLeft(uint32_t* buffer, int32_t size, int32_t bits);
  static int32_t shiftRight(uint32_t* buffer, int32_t size, int32_t bits);
  static void singleByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient, BigInt& outRemainder);
  static void multiByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient, BigInt& outRemainder);
  static BigInt barrettReduction(const BigInt& x, const BigInt& n, const BigInt& constant);
  static BigInt generatePseudoPrimeWithBits(int32_t bits, int32_t rounds);
  // U(k·2^s), V(k·2^s) and Q^(k·2^s) modulo n.
  static std::array<BigInt, 3> lucasSequence(const BigInt& p, const BigInt& q, const BigInt& k, const BigInt& n,
                                   const BigInt& constant, int32_t s);
  static bool lucasStrongTest(const BigInt& n);
  static int32_t jacobi(const BigInt& a, const BigInt& b);

 private:
  void trim();
  static BigInt barrettConstant(const BigInt& n);
  static void divideMagnitudes(const BigInt& dividend, const BigInt& divisor, BigInt& quotient, BigInt& remainder);
  // Two's-complement negation without the overflow check: the most negative
  // value stays as it is, which the word-wise division reads as its magnitude.
  BigInt wrappingNegate() const;
  // Compares the words as unsigned magnitudes.
  static bool magnitudeLessThan(const BigInt& a, const BigInt& b);
  static bool passesTrialDivision(const BigInt& n);
  static int32_t trailingZeroBits(const BigInt& value);

  int32_t dataLength_ = 1;
  std::array<uint32_t, maxLength> data_{};
};

}  // namespace DnsObjects
