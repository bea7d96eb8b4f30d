/* shell/layout.cpp: the arithmetic that keeps the message box filling the
   main window as it is resized. */
#include "shell.h"

/* The message box's top-left corner in the template, in dialog units. */
static const double MSG_BOX_X_DLU = 130.0;
static const double MSG_BOX_Y_DLU = 17.0;

void MeasureProportions(const RECT *mapped, float *xProportion, float *yProportion)
{
    *xProportion = (float)((double)(mapped->right - mapped->left) / (242 - 4));
    *yProportion = (float)((double)(mapped->bottom - mapped->top) / (388 - 12));
}

void LayoutMsgBox(int w, int h, float xProportion, float yProportion, int xBorder, int yBorder,
                  int box[4])
{
    int x = (int)(MSG_BOX_X_DLU * (double)xProportion);
    int y = (int)(MSG_BOX_Y_DLU * (double)yProportion);
    box[0] = x;
    box[1] = y;
    box[2] = w - x - xBorder;
    box[3] = h - y - yBorder;
}
