#include "dns/object/BigInt.h"

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <vector>

#include "platform/foundation/NamedException.h"

namespace DnsObjects {

namespace {

constexpr uint32_t kSignBit = 0x80000000u;
constexpr int kMax = BigInt::maxLength;

[[noreturn]] void raise(const char* name, const char* reason) { throw platform::NamedException(name, reason); }
[[noreturn]] void arithmetic(const char* reason) { raise("ArithmeticException", reason); }

const std::vector<uint32_t>& primesBelow2000() {
  static const std::vector<uint32_t> primes = [] {
    std::vector<bool> composite(2000, false);
    std::vector<uint32_t> out;
    for (uint32_t i = 2; i < 2000; ++i) {
      if (composite[i]) continue;
      out.push_back(i);
      for (uint32_t j = i * i; j < 2000; j += i) composite[j] = true;
    }
    return out;
  }();
  return primes;
}

}  // namespace

BigInt::BigInt() = default;

BigInt::BigInt(int32_t value) : BigInt(static_cast<int64_t>(value)) {}

BigInt::BigInt(int64_t value) {
  const int64_t original = value;
  dataLength_ = 0;
  while (value != 0 && dataLength_ < kMax) {
    data_[dataLength_++] = static_cast<uint32_t>(value & 0xFFFFFFFF);
    value >>= 32;  // arithmetic: a negative value keeps filling words with its sign
  }
  if (original > 0) {
    if (value != 0 || (data_[kMax - 1] & kSignBit) != 0) arithmetic("Positive overflow in constructor.");
  } else if (original < 0) {
    if (value != -1 || (data_[dataLength_ - 1] & kSignBit) == 0) arithmetic("Negative underflow in constructor.");
  }
  if (dataLength_ == 0) dataLength_ = 1;
}

BigInt::BigInt(uint64_t value) {
  dataLength_ = 0;
  while (value != 0 && dataLength_ < kMax) {
    data_[dataLength_++] = static_cast<uint32_t>(value & 0xFFFFFFFF);
    value >>= 32;
  }
  if (value != 0 || (data_[kMax - 1] & kSignBit) != 0) arithmetic("Positive overflow in constructor.");
  if (dataLength_ == 0) dataLength_ = 1;
}

BigInt::BigInt(const uint32_t* words, int32_t size) {
  if (size > kMax) raise("ArithmaticException", "Byte overflow in constructor");
  if (size < 0 || words == nullptr) size = 0;
  dataLength_ = size;
  for (int32_t i = size - 1, j = 0; i >= 0; --i, ++j) data_[j] = words[i];
  if (dataLength_ == 0) dataLength_ = 1;
  trim();
}

BigInt::BigInt(std::string_view text, int32_t radix) {
  if (radix < 2 || radix > 36) raise("ArgumentException", "Radix must be >= 2 and <= 36");
  const bool negative = !text.empty() && text.front() == '-';
  const size_t limit = negative ? 1 : 0;
  const BigInt bigRadix(static_cast<int64_t>(radix));
  BigInt multiplier(static_cast<int64_t>(1));
  BigInt result;
  for (size_t i = text.size(); i > limit; --i) {
    char c = text[i - 1];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    int32_t digit = 9999999;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'Z') digit = c - 'A' + 10;
    if (digit >= radix) arithmetic("Invalid string in constructor.");
    if (negative) digit = -digit;
    result = result.add(multiplier.multiply(BigInt(static_cast<int64_t>(digit))));
    if (i - 1 > limit) multiplier = multiplier.multiply(bigRadix);
  }
  if (negative) {
    if (!result.isNegative()) arithmetic("Negative underflow in constructor.");
  } else if (result.isNegative()) {
    arithmetic("Positive overflow in constructor.");
  }
  *this = result;
}

uint32_t BigInt::getDataAtIndex(int32_t index) const {
  if (index < 0 || index >= kMax) raise("ArgumentException", "Index out of range.");
  return data_[index];
}

void BigInt::setData(uint32_t word, int32_t index) {
  if (index < 0 || index >= kMax) raise("ArgumentException", "Index out of range.");
  data_[index] = word;
}

void BigInt::setDataLength(int32_t length) {
  if (length < 1 || length > kMax) raise("ArgumentException", "Length out of range.");
  dataLength_ = length;
}

void BigInt::trim() {
  if (dataLength_ < 1) dataLength_ = 1;
  if (dataLength_ > kMax) dataLength_ = kMax;
  while (dataLength_ > 1 && data_[dataLength_ - 1] == 0) --dataLength_;
}

BigInt BigInt::add(const BigInt& other) const {
  BigInt result;
  int32_t last = std::max(dataLength_, other.dataLength_);
  uint64_t carry = 0;
  for (int32_t i = 0; i < last; ++i) {
    uint64_t sum = uint64_t{data_[i]} + other.data_[i] + carry;
    result.data_[i] = static_cast<uint32_t>(sum);
    carry = sum >> 32;
  }
  if (carry != 0 && last < kMax) result.data_[last++] = static_cast<uint32_t>(carry);
  result.dataLength_ = last;
  result.trim();
  if (isNegative() == other.isNegative() && result.isNegative() != isNegative()) arithmetic("Overflow");
  return result;
}

BigInt BigInt::subtract(const BigInt& other) const {
  BigInt result;
  int32_t last = std::max(dataLength_, other.dataLength_);
  int64_t borrow = 0;
  for (int32_t i = 0; i < last; ++i) {
    int64_t diff = int64_t{data_[i]} - int64_t{other.data_[i]} - borrow;
    result.data_[i] = static_cast<uint32_t>(diff);
    borrow = diff < 0 ? 1 : 0;
  }
  if (borrow != 0) {
    for (int32_t i = last; i < kMax; ++i) result.data_[i] = 0xFFFFFFFFu;
    last = kMax;
  }
  result.dataLength_ = last;
  result.trim();
  if (isNegative() != other.isNegative() && result.isNegative() != isNegative()) arithmetic("Overflow");
  return result;
}

BigInt BigInt::multiply(const BigInt& other) const {
  BigInt a = *this;
  BigInt b = other;
  const bool aNegative = a.isNegative();
  const bool bNegative = b.isNegative();
  // The most negative value has no positive counterpart; it is then used as it is.
  try {
    if (aNegative) a = a.negate();
  } catch (const platform::NamedException&) {
  }
  try {
    if (bNegative) b = b.negate();
  } catch (const platform::NamedException&) {
  }
  BigInt result;
  for (int32_t i = 0; i < a.dataLength_; ++i) {
    if (a.data_[i] == 0) continue;
    uint64_t carry = 0;
    for (int32_t j = 0; j < b.dataLength_; ++j) {
      const int32_t k = i + j;
      if (k >= kMax) arithmetic("Multiplication overflow.");
      uint64_t value = uint64_t{a.data_[i]} * b.data_[j] + result.data_[k] + carry;
      result.data_[k] = static_cast<uint32_t>(value);
      carry = value >> 32;
    }
    if (carry != 0) {
      const int32_t k = i + b.dataLength_;
      if (k >= kMax) arithmetic("Multiplication overflow.");
      result.data_[k] = static_cast<uint32_t>(carry);
    }
  }
  result.dataLength_ = std::min(a.dataLength_ + b.dataLength_, kMax);
  result.trim();
  if (result.isNegative()) {
    if (aNegative != bNegative && result.data_[kMax - 1] == kSignBit) {
      bool mostNegative = true;
      for (int32_t i = 0; i < kMax - 1 && mostNegative; ++i) mostNegative = result.data_[i] == 0;
      if (mostNegative) return result;
    }
    arithmetic("overflow.");
  }
  return aNegative != bNegative ? result.negate() : result;
}

BigInt BigInt::negate() const {
  BigInt result = wrappingNegate();
  if (!isZero() && result.isNegative() == isNegative()) arithmetic("Overflow in negation.");
  return result;
}

BigInt BigInt::wrappingNegate() const {
  if (isZero()) return BigInt();
  BigInt result;
  for (int32_t i = 0; i < kMax; ++i) result.data_[i] = ~data_[i];
  uint64_t carry = 1;
  for (int32_t i = 0; carry != 0 && i < kMax; ++i) {
    uint64_t value = uint64_t{result.data_[i]} + carry;
    result.data_[i] = static_cast<uint32_t>(value);
    carry = value >> 32;
  }
  result.dataLength_ = kMax;
  result.trim();
  return result;
}

bool BigInt::magnitudeLessThan(const BigInt& a, const BigInt& b) {
  for (int32_t i = std::max(a.dataLength_, b.dataLength_) - 1; i >= 0; --i)
    if (a.data_[i] != b.data_[i]) return a.data_[i] < b.data_[i];
  return false;
}

void BigInt::divideMagnitudes(const BigInt& dividend, const BigInt& divisor, BigInt& quotient, BigInt& remainder) {
  if (divisor.isZero()) arithmetic("Division by zero.");
  if (divisor.dataLength_ == 1) singleByteDivide(dividend, divisor, quotient, remainder);
  else multiByteDivide(dividend, divisor, quotient, remainder);
}

BigInt BigInt::divide(const BigInt& other) const {
  if (other.isZero()) arithmetic("Division by zero.");
  const bool dividendNegative = isNegative();
  const bool divisorNegative = other.isNegative();
  const BigInt dividend = dividendNegative ? wrappingNegate() : *this;
  const BigInt divisor = divisorNegative ? other.wrappingNegate() : other;
  if (magnitudeLessThan(dividend, divisor)) return BigInt();
  BigInt quotient, remainder;
  divideMagnitudes(dividend, divisor, quotient, remainder);
  // Only the most negative value divided by -1 has a quotient past the
  // capacity (2^2239); it wraps around to the most negative value.
  return dividendNegative != divisorNegative ? quotient.wrappingNegate() : quotient;
}

BigInt BigInt::mod(const BigInt& other) const {
  if (other.isZero()) arithmetic("Division by zero.");
  const bool dividendNegative = isNegative();
  const BigInt dividend = dividendNegative ? wrappingNegate() : *this;
  const BigInt divisor = other.isNegative() ? other.wrappingNegate() : other;
  if (magnitudeLessThan(dividend, divisor)) return *this;
  BigInt quotient, remainder;
  divideMagnitudes(dividend, divisor, quotient, remainder);
  return dividendNegative ? remainder.negate() : remainder;  // smaller than the divisor: it fits
}

void BigInt::singleByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient,
                              BigInt& outRemainder) {
  const uint64_t d = divisor.data_[0];
  if (d == 0) arithmetic("Division by zero.");
  BigInt quotient;
  int32_t length = dividend.dataLength_;
  while (length > 1 && dividend.data_[length - 1] == 0) --length;
  uint64_t rest = 0;
  for (int32_t i = length - 1; i >= 0; --i) {
    uint64_t current = (rest << 32) | dividend.data_[i];
    quotient.data_[i] = static_cast<uint32_t>(current / d);
    rest = current % d;
  }
  quotient.dataLength_ = length;
  quotient.trim();
  outQuotient = quotient;
  outRemainder = BigInt();
  outRemainder.data_[0] = static_cast<uint32_t>(rest);
}

void BigInt::multiByteDivide(const BigInt& dividend, const BigInt& divisor, BigInt& outQuotient,
                             BigInt& outRemainder) {
  int32_t n = divisor.dataLength_;
  while (n > 1 && divisor.data_[n - 1] == 0) --n;
  if (n < 2) return singleByteDivide(dividend, divisor, outQuotient, outRemainder);
  int32_t length = dividend.dataLength_;
  while (length > 1 && dividend.data_[length - 1] == 0) --length;
  if (length < n) {
    outQuotient = BigInt();
    outRemainder = dividend;
    outRemainder.dataLength_ = length;
    return;
  }
  // Normalised long division; local buffers hold the one extra word the shift needs.
  const int shift = std::countl_zero(divisor.data_[n - 1]);
  std::array<uint32_t, kMax + 1> v{};
  std::array<uint32_t, kMax + 2> u{};
  for (int32_t i = n - 1; i > 0; --i)
    v[i] = (divisor.data_[i] << shift) | (shift ? static_cast<uint32_t>(uint64_t{divisor.data_[i - 1]} >> (32 - shift)) : 0);
  v[0] = divisor.data_[0] << shift;
  u[length] = shift ? static_cast<uint32_t>(uint64_t{dividend.data_[length - 1]} >> (32 - shift)) : 0;
  for (int32_t i = length - 1; i > 0; --i)
    u[i] = (dividend.data_[i] << shift) | (shift ? static_cast<uint32_t>(uint64_t{dividend.data_[i - 1]} >> (32 - shift)) : 0);
  u[0] = dividend.data_[0] << shift;

  BigInt quotient;
  const uint64_t base = uint64_t{1} << 32;
  for (int32_t j = length - n; j >= 0; --j) {
    const uint64_t top = (uint64_t{u[j + n]} << 32) | u[j + n - 1];
    uint64_t qhat = top / v[n - 1];
    uint64_t rhat = top % v[n - 1];
    while (qhat >= base || qhat * v[n - 2] > ((rhat << 32) | u[j + n - 2])) {
      --qhat;
      rhat += v[n - 1];
      if (rhat >= base) break;
    }
    int64_t borrow = 0;
    uint64_t carry = 0;
    for (int32_t i = 0; i < n; ++i) {
      uint64_t product = qhat * v[i] + carry;
      carry = product >> 32;
      int64_t diff = int64_t{u[i + j]} - int64_t{static_cast<uint32_t>(product)} - borrow;
      u[i + j] = static_cast<uint32_t>(diff);
      borrow = diff < 0 ? 1 : 0;
    }
    int64_t diff = int64_t{u[j + n]} - int64_t(carry) - borrow;
    u[j + n] = static_cast<uint32_t>(diff);
    if (diff < 0) {  // estimate was one too large: add the divisor back
      --qhat;
      uint64_t sum = 0;
      for (int32_t i = 0; i < n; ++i) {
        sum = uint64_t{u[i + j]} + v[i] + (sum >> 32);
        u[i + j] = static_cast<uint32_t>(sum);
      }
      u[j + n] = static_cast<uint32_t>(uint64_t{u[j + n]} + (sum >> 32));
    }
    if (j < kMax) quotient.data_[j] = static_cast<uint32_t>(qhat);
  }
  quotient.dataLength_ = std::min(length - n + 1, kMax);
  quotient.trim();

  BigInt remainder;
  for (int32_t i = 0; i < n; ++i)
    remainder.data_[i] = (u[i] >> shift) | (shift ? static_cast<uint32_t>(uint64_t{u[i + 1]} << (32 - shift)) : 0);
  remainder.dataLength_ = n;
  remainder.trim();
  outQuotient = quotient;
  outRemainder = remainder;
}

BigInt BigInt::bitNot() const {
  BigInt result;
  for (int32_t i = 0; i < kMax; ++i) result.data_[i] = ~data_[i];
  result.dataLength_ = kMax;
  result.trim();
  return result;
}

int32_t BigInt::shiftLeft(uint32_t* buffer, int32_t size, int32_t bits) {
  if (buffer == nullptr || size <= 0) return 0;
  int32_t length = size;
  while (length > 1 && buffer[length - 1] == 0) --length;
  if (bits >= 32 * size) {  // everything is shifted out
    std::fill(buffer, buffer + size, 0u);
    return 1;
  }
  for (int32_t count = bits; count > 0;) {
    const int step = std::min(count, 32);
    uint64_t carry = 0;
    for (int32_t i = 0; i < length; ++i) {
      uint64_t value = (uint64_t{buffer[i]} << step) | carry;
      buffer[i] = static_cast<uint32_t>(value);
      carry = value >> 32;
    }
    if (carry != 0 && length < size) buffer[length++] = static_cast<uint32_t>(carry);
    count -= step;
  }
  return length;
}

int32_t BigInt::shiftRight(uint32_t* buffer, int32_t size, int32_t bits) {
  if (buffer == nullptr || size <= 0) return 0;
  int32_t length = size;
  while (length > 1 && buffer[length - 1] == 0) --length;
  if (bits >= 32 * size) {
    std::fill(buffer, buffer + size, 0u);
    return 1;
  }
  for (int32_t count = bits; count > 0;) {
    const int step = std::min(count, 32);
    for (int32_t i = 0; i < length; ++i) {
      uint64_t low = uint64_t{buffer[i]} >> step;
      uint64_t high = i + 1 < length ? uint64_t{buffer[i + 1]} << (32 - step) : 0;
      buffer[i] = static_cast<uint32_t>(low | high);
    }
    count -= step;
  }
  while (length > 1 && buffer[length - 1] == 0) --length;
  return length;
}

BigInt BigInt::shiftLeft(int32_t bits) const {
  BigInt result = *this;
  result.dataLength_ = shiftLeft(result.data_.data(), kMax, bits);
  return result;
}

BigInt BigInt::shiftRight(int32_t bits) const {
  BigInt result = *this;
  result.dataLength_ = shiftRight(result.data_.data(), kMax, bits);
  return result;
}

bool BigInt::equals(const BigInt& other) const {
  if (dataLength_ != other.dataLength_) return false;
  for (int32_t i = 0; i < dataLength_; ++i)
    if (data_[i] != other.data_[i]) return false;
  return true;
}

bool BigInt::greaterThan(const BigInt& other) const {
  if (isNegative() && !other.isNegative()) return false;
  if (!isNegative() && other.isNegative()) return true;
  for (int32_t i = std::max(dataLength_, other.dataLength_) - 1; i >= 0; --i)
    if (data_[i] != other.data_[i]) return data_[i] > other.data_[i];
  return false;
}

bool BigInt::lessThan(const BigInt& other) const {
  if (isNegative() && !other.isNegative()) return true;
  if (!isNegative() && other.isNegative()) return false;
  for (int32_t i = std::max(dataLength_, other.dataLength_) - 1; i >= 0; --i)
    if (data_[i] != other.data_[i]) return data_[i] < other.data_[i];
  return false;
}

BigInt BigInt::abs() const { return isNegative() ? negate() : *this; }

namespace {

// Whether root * root > value (value non-negative); a square past the
// capacity is larger than any value.
bool squareExceeds(const BigInt& root, const BigInt& value) {
  try {
    return root.multiply(root).greaterThan(value);
  } catch (const platform::NamedException&) {
    return true;
  }
}

}  // namespace

BigInt BigInt::sqrt() const {
  if (isNegative()) return BigInt();
  BigInt self = *this;
  int32_t bits = self.bitCount();
  bits = (bits & 1) ? (bits >> 1) + 1 : bits >> 1;
  BigInt result;
  if (bits == 0) return result;
  result.dataLength_ = (bits + 31) / 32;
  for (int32_t bit = bits - 1; bit >= 0; --bit) {
    result.data_[bit / 32] ^= 1u << (bit % 32);
    BigInt trial = result;
    trial.trim();
    if (squareExceeds(trial, *this)) result.data_[bit / 32] ^= 1u << (bit % 32);
  }
  result.trim();
  return result;
}

BigInt BigInt::gcd(const BigInt& other) const {
  BigInt x = abs();
  BigInt y = other.abs();
  BigInt g = y;
  while (!x.isZero()) {
    g = x;
    x = y.mod(x);
    y = g;
  }
  return g;
}

std::string BigInt::toStringWithRadix(int32_t radix) const {
  if (radix < 2 || radix > 36) raise("ArgumentException", "Radix must be >= 2 and <= 36");
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  BigInt value = *this;
  const bool negative = isNegative();
  if (negative) {
    try {
      value = value.negate();
    } catch (const platform::NamedException&) {
    }
  }
  if (value.isZero()) return "0";
  const BigInt bigRadix(static_cast<int64_t>(radix));
  std::string digits;
  BigInt quotient, remainder;
  while (!value.isZero()) {
    singleByteDivide(value, bigRadix, quotient, remainder);
    const uint32_t digit = remainder.data_[0];
    digits.push_back(digit < 10 ? static_cast<char>('0' + digit) : kLetters[digit - 10]);
    value = quotient;
  }
  if (negative) digits.push_back('-');
  std::reverse(digits.begin(), digits.end());
  return digits;
}

BigInt BigInt::bitAnd(const BigInt& other) const {
  BigInt result;
  result.dataLength_ = std::max(dataLength_, other.dataLength_);
  for (int32_t i = 0; i < result.dataLength_; ++i) result.data_[i] = data_[i] & other.data_[i];
  result.trim();
  return result;
}

BigInt BigInt::bitOr(const BigInt& other) const {
  BigInt result;
  result.dataLength_ = std::max(dataLength_, other.dataLength_);
  for (int32_t i = 0; i < result.dataLength_; ++i) result.data_[i] = data_[i] | other.data_[i];
  result.trim();
  return result;
}

BigInt BigInt::xOr(const BigInt& other) const {
  BigInt result;
  result.dataLength_ = std::max(dataLength_, other.dataLength_);
  for (int32_t i = 0; i < result.dataLength_; ++i) result.data_[i] = data_[i] ^ other.data_[i];
  result.trim();
  return result;
}

int32_t BigInt::bitCount() {
  trim();
  const uint32_t top = data_[dataLength_ - 1];
  if (top == 0) return 0;
  return 32 * (dataLength_ - 1) + (32 - std::countl_zero(top));
}

BigInt BigInt::barrettConstant(const BigInt& n) {
  const int32_t index = n.dataLength_ * 2;
  if (index >= kMax) arithmetic("Modulus too large for Barrett reduction.");
  BigInt power;
  power.data_[index] = 1;
  power.dataLength_ = index + 1;
  return power.divide(n);
}

BigInt BigInt::barrettReduction(const BigInt& x, const BigInt& n, const BigInt& constant) {
  const int32_t k = n.dataLength_;
  const int32_t kPlusOne = k + 1;
  if (kPlusOne >= kMax) arithmetic("Modulus too large for Barrett reduction.");

  BigInt q1;
  for (int32_t i = k - 1, j = 0; i < x.dataLength_; ++i, ++j) q1.data_[j] = x.data_[i];
  q1.dataLength_ = std::max(x.dataLength_ - (k - 1), 1);
  q1.trim();
  const BigInt q2 = q1.multiply(constant);
  BigInt q3;
  for (int32_t i = kPlusOne, j = 0; i < q2.dataLength_; ++i, ++j) q3.data_[j] = q2.data_[i];
  q3.dataLength_ = std::max(q2.dataLength_ - kPlusOne, 1);
  q3.trim();

  BigInt r1;
  const int32_t copyLength = std::min(x.dataLength_, kPlusOne);
  for (int32_t i = 0; i < copyLength; ++i) r1.data_[i] = x.data_[i];
  r1.dataLength_ = copyLength;
  r1.trim();

  // q3 * n, kept to its low k + 1 words.
  BigInt r2;
  for (int32_t i = 0; i < q3.dataLength_ && i < kPlusOne; ++i) {
    if (q3.data_[i] == 0) continue;
    uint64_t carry = 0;
    int32_t t = i;
    for (int32_t j = 0; j < k && t < kPlusOne; ++j, ++t) {
      uint64_t value = uint64_t{q3.data_[i]} * n.data_[j] + r2.data_[t] + carry;
      r2.data_[t] = static_cast<uint32_t>(value);
      carry = value >> 32;
    }
    if (t < kPlusOne) r2.data_[t] = static_cast<uint32_t>(carry);
  }
  r2.dataLength_ = kPlusOne;
  r2.trim();

  r1 = r1.subtract(r2);
  if (r1.isNegative()) {
    BigInt wrap;
    wrap.data_[kPlusOne] = 1;
    wrap.dataLength_ = kPlusOne + 1;
    r1 = r1.add(wrap);
  }
  while (r1.greaterThanOrEqualTo(n)) r1 = r1.subtract(n);
  return r1;
}

BigInt BigInt::modPow(const BigInt& exponent, const BigInt& modulus) const {
  if (exponent.isNegative()) arithmetic("Positive exponents only.");
  const bool negative = isNegative();
  const BigInt n = modulus.abs();
  BigInt base = abs().mod(n);
  BigInt result(static_cast<int64_t>(1));
  const BigInt constant = barrettConstant(n);
  BigInt e = exponent;
  const int32_t totalBits = e.bitCount();
  for (int32_t bit = 0; bit < totalBits; ++bit) {
    if ((e.data_[bit / 32] >> (bit % 32)) & 1u) result = barrettReduction(result.multiply(base), n, constant);
    base = barrettReduction(base.multiply(base), n, constant);
    if (base.isOne()) break;
  }
  if (negative && (e.data_[0] & 1u)) result = result.negate();
  return result;
}

void BigInt::getRandomBits(int32_t bits) {
  data_.fill(0);
  dataLength_ = 1;
  if (bits <= 0) return;
  int32_t words = bits / 32 + (bits % 32 != 0 ? 1 : 0);
  if (words > kMax) arithmetic("Number of required bits > maxLength.");
  for (int32_t i = 0; i < words; ++i) data_[i] = arc4random();
  const int32_t topBits = bits % 32;
  if (topBits != 0) {
    data_[words - 1] |= 1u << (topBits - 1);
    data_[words - 1] &= 0xFFFFFFFFu >> (32 - topBits);
  } else {
    data_[words - 1] |= kSignBit;
  }
  dataLength_ = words;
}

int32_t BigInt::trailingZeroBits(const BigInt& value) {
  for (int32_t i = 0; i < value.dataLength_; ++i)
    if (value.data_[i] != 0) return i * 32 + std::countr_zero(value.data_[i]);
  return 0;
}

bool BigInt::passesTrialDivision(const BigInt& n) {
  for (uint32_t prime : primesBelow2000()) {
    const BigInt divisor(static_cast<int64_t>(prime));
    if (divisor.greaterThanOrEqualTo(n)) break;
    if (n.mod(divisor).intValue() == 0) return false;
  }
  return true;
}

bool BigInt::rabinMillerTestWithConfidence(int32_t rounds) const {
  BigInt n = abs();
  if (n.dataLength_ == 1) {
    if (n.data_[0] == 0 || n.data_[0] == 1) return false;
    if (n.data_[0] == 2 || n.data_[0] == 3) return true;
  }
  if ((n.data_[0] & 1u) == 0) return false;
  const BigInt one(static_cast<int64_t>(1));
  const BigInt nMinusOne = n.subtract(one);
  const int32_t s = trailingZeroBits(nMinusOne);
  const BigInt t = nMinusOne.shiftRight(s);
  const int32_t bits = n.bitCount();
  for (int32_t round = 0; round < rounds; ++round) {
    BigInt a;
    do {
      int32_t width = 0;
      while (width < 2) width = static_cast<int32_t>(arc4random_uniform(static_cast<uint32_t>(bits)));
      a.getRandomBits(width);
    } while (a.isOne());
    const BigInt g = a.gcd(n);
    if (g.dataLength_ == 1 && g.data_[0] != 1) return false;
    BigInt b = a.modPow(t, n);
    bool passed = b.isOne();
    for (int32_t j = 0; !passed && j < s; ++j) {
      if (b.equals(nMinusOne)) {
        passed = true;
        break;
      }
      b = b.multiply(b).mod(n);
    }
    if (!passed) return false;
  }
  return true;
}

bool BigInt::isProbablePrimeWithConfidence(int32_t rounds) const {
  const BigInt n = abs();
  if (!passesTrialDivision(n)) return false;
  return n.rabinMillerTestWithConfidence(rounds);
}

bool BigInt::isProbablePrime() const {
  BigInt n = abs();
  if (n.dataLength_ == 1) {
    if (n.data_[0] == 0 || n.data_[0] == 1) return false;
    if (n.data_[0] == 2 || n.data_[0] == 3) return true;
  }
  if ((n.data_[0] & 1u) == 0) return false;
  if (!passesTrialDivision(n)) return false;
  // Strong test to base 2.
  const BigInt nMinusOne = n.subtract(BigInt(static_cast<int64_t>(1)));
  const int32_t s = trailingZeroBits(nMinusOne);
  const BigInt t = nMinusOne.shiftRight(s);
  BigInt b = BigInt(static_cast<int64_t>(2)).modPow(t, n);
  bool passed = b.isOne();
  for (int32_t j = 0; !passed && j < s; ++j) {
    if (b.equals(nMinusOne)) {
      passed = true;
      break;
    }
    b = b.multiply(b).mod(n);
  }
  return passed && lucasStrongTest(n);
}

int32_t BigInt::jacobi(const BigInt& aIn, const BigInt& bIn) {
  if ((bIn.data_[0] & 1u) == 0) raise("ArgumentException", "Jacobi defined only for odd integers.");
  const BigInt b = bIn.abs();
  BigInt a = aIn;
  if (a.greaterThanOrEqualTo(b)) a = a.mod(b);
  if (a.isZero()) return 0;
  if (a.isOne()) return 1;
  if (a.isNegative()) {
    const BigInt bMinusOne = b.subtract(BigInt(static_cast<int64_t>(1)));
    return (bMinusOne.data_[0] & 2u) == 0 ? jacobi(a.negate(), b) : -jacobi(a.negate(), b);
  }
  const int32_t e = trailingZeroBits(a);
  const BigInt a1 = a.shiftRight(e);
  int32_t sign = 1;
  const uint32_t b8 = b.data_[0] & 7u;
  if ((e & 1) != 0 && (b8 == 3 || b8 == 5)) sign = -1;
  if ((b.data_[0] & 3u) == 3 && (a1.data_[0] & 3u) == 3) sign = -sign;
  if (a1.isOne()) return sign;
  return sign * jacobi(b.mod(a1), a1);
}

std::array<BigInt, 3> BigInt::lucasSequence(const BigInt& p, const BigInt& q, const BigInt& k, const BigInt& n,
                                          const BigInt& constant, int32_t s) {
  if ((k.data_[0] & 1u) == 0) raise("ArgumentException", "Argument k must be odd.");
  BigInt kk = k;
  const int32_t bits = kk.bitCount();
  BigInt v = BigInt(static_cast<int64_t>(2)).mod(n);
  BigInt qk = BigInt(static_cast<int64_t>(1)).mod(n);
  BigInt v1 = p.mod(n);
  BigInt u1 = qk;
  bool first = true;
  // Ladder over the bits of k from the top, the lowest (always set) bit done after.
  for (int32_t bit = bits - 1; bit >= 1; --bit) {
    if ((k.data_[bit / 32] >> (bit % 32)) & 1u) {
      u1 = u1.multiply(v1).mod(n);
      v = v.multiply(v1).subtract(p.multiply(qk)).mod(n);
      v1 = barrettReduction(v1.multiply(v1), n, constant);
      v1 = v1.subtract(qk.multiply(q).shiftLeft(1)).mod(n);
      if (first) first = false;
      else qk = barrettReduction(qk.multiply(qk), n, constant);
      qk = qk.multiply(q).mod(n);
    } else {
      u1 = u1.multiply(v).subtract(qk).mod(n);
      v1 = v.multiply(v1).subtract(p.multiply(qk)).mod(n);
      v = barrettReduction(v.multiply(v), n, constant);
      v = v.subtract(qk.shiftLeft(1)).mod(n);
      if (first) {
        qk = q.mod(n);
        first = false;
      } else {
        qk = barrettReduction(qk.multiply(qk), n, constant);
      }
    }
  }
  u1 = u1.multiply(v).subtract(qk).mod(n);
  v = v.multiply(v1).subtract(p.multiply(qk)).mod(n);
  if (first) first = false;
  else qk = barrettReduction(qk.multiply(qk), n, constant);
  qk = qk.multiply(q).mod(n);
  for (int32_t i = 0; i < s; ++i) {
    u1 = u1.multiply(v).mod(n);
    v = v.multiply(v).subtract(qk.shiftLeft(1)).mod(n);
    if (first) {
      qk = q.mod(n);
      first = false;
    } else {
      qk = barrettReduction(qk.multiply(qk), n, constant);
    }
  }
  return {u1, v, qk};
}

bool BigInt::lucasStrongTest(const BigInt& nIn) {
  BigInt n = nIn.abs();
  if (n.dataLength_ == 1) {
    if (n.data_[0] == 0 || n.data_[0] == 1) return false;
    if (n.data_[0] == 2 || n.data_[0] == 3) return true;
  }
  if ((n.data_[0] & 1u) == 0) return false;

  int64_t d = 5;
  int64_t sign = -1;
  for (int32_t candidates = 0;; ++candidates) {
    const BigInt bigD(d);
    const int32_t symbol = jacobi(bigD, n);
    if (symbol == -1) break;
    if (symbol == 0 && bigD.abs().lessThan(n)) return false;
    if (candidates == 20) {
      const BigInt root = n.sqrt();
      if (root.multiply(root).equals(n)) return false;
    }
    d = (std::abs(d) + 2) * sign;
    sign = -sign;
  }
  const BigInt q(static_cast<int64_t>((1 - d) / 4));  // exact: d is 1 modulo 4

  const BigInt nPlusOne = n.add(BigInt(static_cast<int64_t>(1)));
  const int32_t s = trailingZeroBits(nPlusOne);
  const BigInt t = nPlusOne.shiftRight(s);
  const BigInt constant = barrettConstant(n);
  auto [u, v, qk] = lucasSequence(BigInt(static_cast<int64_t>(1)), q, t, n, constant, 0);

  bool probablePrime = u.isZero() || v.isZero();
  for (int32_t j = 1; j < s; ++j) {
    if (!probablePrime) {
      v = barrettReduction(v.multiply(v), n, constant);
      v = v.subtract(qk.shiftLeft(1)).mod(n);
      if (v.isZero()) probablePrime = true;
    }
    qk = barrettReduction(qk.multiply(qk), n, constant);
  }
  if (probablePrime && n.gcd(q).isOne()) {
    BigInt last = qk;
    if (last.isNegative()) last = last.add(n);
    BigInt expected = q.multiply(BigInt(static_cast<int64_t>(jacobi(q, n)))).mod(n);
    if (expected.isNegative()) expected = expected.add(n);
    if (!last.equals(expected)) probablePrime = false;
  }
  return probablePrime;
}

BigInt BigInt::generatePseudoPrimeWithBits(int32_t bits, int32_t rounds) {
  if (bits < 2) raise("ArgumentException", "Number of bits must be >= 2.");
  BigInt candidate;
  do {
    candidate.getRandomBits(bits);
    candidate.data_[0] |= 1u;
  } while (!candidate.isProbablePrimeWithConfidence(rounds));
  return candidate;
}

}  // namespace DnsObjects
