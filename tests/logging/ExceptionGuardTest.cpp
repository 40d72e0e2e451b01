#include "logging/ExceptionGuard.h"

#include <gtest/gtest.h>

using qmlogger::tryCatchingExceptions;

TEST(ExceptionGuard, NamedExceptionsGoToTheHandlerAndFinallyAlwaysRuns) {
  std::string caught;
  int finals = 0;
  tryCatchingExceptions([] { throw platform::NamedException("NSRangeException", "out of range"); },
                        [&](const platform::NamedException& e) { caught = e.name() + "/" + e.reason(); },
                        [&] { ++finals; });
  EXPECT_EQ(caught, "NSRangeException/out of range");
  tryCatchingExceptions([] {}, [&](const platform::NamedException&) { caught = "wrong"; }, [&] { ++finals; });
  EXPECT_EQ(caught, "NSRangeException/out of range");
  EXPECT_EQ(finals, 2);
  tryCatchingExceptions([] {}, {});
}

TEST(ExceptionGuard, OtherExceptionsPassOnAfterFinally) {
  int finals = 0;
  EXPECT_THROW(tryCatchingExceptions([] { throw std::logic_error("x"); }, [](const platform::NamedException&) {},
                                     [&] { ++finals; }),
               std::logic_error);
  EXPECT_THROW(tryCatchingExceptions([] { throw platform::NamedException("A", "b"); },
                                     [](const platform::NamedException&) { throw std::runtime_error("inner"); },
                                     [&] { ++finals; }),
               std::runtime_error);
  EXPECT_EQ(finals, 2);
}
