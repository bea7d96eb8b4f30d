/* tests/shell/test_layout.cpp: the arithmetic that places the message box. */
#include "shell.h"

#include <gtest/gtest.h>

TEST(Layout, ProportionsFromTheMappedReferenceRectangle)
{
    struct Case {
        RECT mapped;
        float x, y;
    } cases[] = {
        {{0, 0, 357, 611}, 1.5f, 1.625f},
        {{6, 19, 363, 630}, 1.5f, 1.625f}, /* only the differences count */
        {{6, 18, 363, 771}, 1.5f, 2.0026596f},
        {{0, 0, 238, 376}, 1.0f, 1.0f},
    };
    for (const Case &c : cases) {
        float x = 0, y = 0;
        MeasureProportions(&c.mapped, &x, &y);
        EXPECT_FLOAT_EQ(x, c.x);
        EXPECT_FLOAT_EQ(y, c.y);
    }
}

TEST(Layout, MessageBoxForAClientArea)
{
    struct Case {
        int w, h;
        float xProp, yProp;
        int xBorder, yBorder;
        int box[4];
    } cases[] = {
        /* 17 x 1.625 = 27.625 is cut to 27. */
        {700, 500, 1.5f, 1.625f, 20, 40, {195, 27, 485, 433}},
        {701, 501, 1.5f, 1.625f, 20, 40, {195, 27, 486, 434}},
        /* 130 x 1.75 = 227.5 and 17 x 1.75 = 29.75, both cut. */
        {1024, 768, 1.75f, 1.75f, 12, 30, {227, 29, 785, 709}},
        /* Too small a client area gives a box of no or negative size, handed
           on unchanged. */
        {100, 30, 1.5f, 1.625f, 20, 40, {195, 27, -115, -37}},
        {0, 0, 1.5f, 1.625f, 20, 40, {195, 27, -215, -67}},
    };
    for (const Case &c : cases) {
        int box[4] = {0, 0, 0, 0};
        LayoutMsgBox(c.w, c.h, c.xProp, c.yProp, c.xBorder, c.yBorder, box);
        EXPECT_EQ(box[0], c.box[0]) << c.w << "x" << c.h;
        EXPECT_EQ(box[1], c.box[1]) << c.w << "x" << c.h;
        EXPECT_EQ(box[2], c.box[2]) << c.w << "x" << c.h;
        EXPECT_EQ(box[3], c.box[3]) << c.w << "x" << c.h;
    }
}
