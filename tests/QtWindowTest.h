// The Qt window as the program opens it, off-screen, afresh for each test.
#pragma once

#include <gtest/gtest.h>

#include <QTest>

#include <memory>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "qt/QtForm.h"
#include "tests/support.h"

class QtWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SubMain(nullptr);
    form = std::make_unique<QtForm>();
    window = std::make_unique<frmMain>(*form);
    form->SetLogic(window.get());
    window->Form_Load("");
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
  void TearDown() override {
    gTestRunning = false;
    window.reset();
    form.reset();
  }

  testing_support::TempDir dir;
  std::unique_ptr<QtForm> form;
  std::unique_ptr<frmMain> window;
};
