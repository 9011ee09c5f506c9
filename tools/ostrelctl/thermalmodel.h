#pragma once

// An RF unit as the demo and the regulator's tests simulate it: it heats at a constant rate,
// and the fan cools it in proportion to its speed and to the unit's excess over the ambient.
struct ThermalModel {
    double ambientC = 0;
    double temperatureC = 0;
    double heatingCPerSecond = 0;
    double coolingPerSecond = 0; // at full speed, per °C above ambient

    void advance(double seconds, double speedFraction)
    {
        const double change = heatingCPerSecond - coolingPerSecond * speedFraction * (temperatureC - ambientC);
        temperatureC += change * seconds;
    }
};
